# ovr_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s]): one GoogleTest
# executable whose tests ctest lists one by one, labelled with its name and LABELS. Tests
# run with a private runtime folder so that they never touch the user's.
function(ovr_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(labels ${T_NAME} ${T_LABELS})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ovr_testsupport GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${labels}")
endfunction()

# ovr_package_library(target...): installs the shared libraries with the package (see
# cmake/Package.cmake), beside the COM runtime and the host libraries.
function(ovr_package_library)
  set_property(GLOBAL APPEND PROPERTY OVR_PACKAGE_LIBRARIES ${ARGN})
endfunction()

# ovr_cryptopp: Crypto++ for whatever digests or enciphers. Linked from its static archive
# when there is one, hidden (--exclude-libs) and without the parts nothing calls
# (--gc-sections): a program or library then loads without the shared library's tens of
# thousands of symbol relocations, which were most of the cost of starting the player.
# The shared library otherwise.
pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
find_library(OVR_CRYPTOPP_ARCHIVE NAMES libcrypto++.a HINTS ${CRYPTOPP_LIBRARY_DIRS})
add_library(ovr_cryptopp INTERFACE)
if(OVR_CRYPTOPP_ARCHIVE)
  target_include_directories(ovr_cryptopp INTERFACE ${CRYPTOPP_INCLUDE_DIRS})
  target_link_libraries(ovr_cryptopp INTERFACE ${OVR_CRYPTOPP_ARCHIVE})
  target_link_options(ovr_cryptopp INTERFACE LINKER:--exclude-libs,libcrypto++.a
                      LINKER:--gc-sections)
else()
  target_link_libraries(ovr_cryptopp INTERFACE PkgConfig::CRYPTOPP)
endif()
