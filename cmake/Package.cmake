# What `cmake --install` puts under its prefix, for the developer of a host:
#   include/ovradio/      the public headers
#   lib/                  the COM runtime (libOVCom.so and the platform library under it),
#                         the host libraries and whatever ovr_package_library() added
#   bin/                  the tools
#   lib/pkgconfig/ovradio.pc                  pkg-config: compiles and links against the
#                                             COM runtime, with its run-time path
#   lib/cmake/OVRadioEngine/                  find_package(OVRadioEngine) gives the
#                                             imported target OVRadioEngine::Com
# Installed programs and libraries find the package's libraries by their RUNPATH
# ($ORIGIN/../lib and $ORIGIN), wherever the prefix is, without LD_LIBRARY_PATH.
include(CMakePackageConfigHelpers)

set(OVR_PACKAGE_BASE_LIBRARIES OVPlatform OVCom EventMgr Preferences ObjectManager)
get_property(OVR_PACKAGE_ADDED_LIBRARIES GLOBAL PROPERTY OVR_PACKAGE_LIBRARIES)
set(OVR_PACKAGE_TOOLS ovradio-regsvr ovradio-station ovdiag ovradio-cache ovradio-sequence
    ovradio-play)

foreach(library ${OVR_PACKAGE_BASE_LIBRARIES} ${OVR_PACKAGE_ADDED_LIBRARIES})
  set_target_properties(${library} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${library} LIBRARY DESTINATION lib)
endforeach()

foreach(tool ${OVR_PACKAGE_TOOLS})
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
    install(TARGETS ${tool} RUNTIME DESTINATION bin)
  endif()
endforeach()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ovradio DESTINATION include
        FILES_MATCHING PATTERN "*.h")

# The pkg-config file names the prefix that the installation goes to, which
# `cmake --install --prefix` may choose only then.
set(OVR_PC_TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/ovradio.pc.in)
install(CODE "
  set(OVR_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${OVR_PC_TEMPLATE}\"
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/pkgconfig/ovradio.pc\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/pkgconfig/ovradio.pc\")
")

set(OVR_CMAKE_PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/package)
configure_file(${PROJECT_SOURCE_DIR}/cmake/OVRadioEngineConfig.cmake.in
               ${OVR_CMAKE_PACKAGE_DIR}/OVRadioEngineConfig.cmake @ONLY)
write_basic_package_version_file(${OVR_CMAKE_PACKAGE_DIR}/OVRadioEngineConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${OVR_CMAKE_PACKAGE_DIR}/OVRadioEngineConfig.cmake
              ${OVR_CMAKE_PACKAGE_DIR}/OVRadioEngineConfigVersion.cmake
        DESTINATION lib/cmake/OVRadioEngine)
