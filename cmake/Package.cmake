# What `cmake --install` puts under its prefix, for the developer of a host:
#   include/ovradio/      the public headers
#   lib/                  the COM runtime (libOVCom.so and the platform library under it),
#                         the host libraries and whatever ovr_package_library() added
#   bin/                  the tools
#   lib/pkgconfig/ovradio.pc                  pkg-config: compiles and links against the
#                                             COM runtime, with its run-time path
#   lib/cmake/OVRadioEngine/                  find_package(OVRadioEngine) gives the
#                                             imported target OVRadioEngine::Com
#   lib/gstreamer-1.0/libgstovradio.so        the GStreamer plugin; with
#                                             OVR_GST_SYSTEM_PLUGIN_DIR, GStreamer's own
#                                             plugin folder instead, where every GStreamer
#                                             program finds it
# `make package` builds a Debian package of all this for /usr with cpack (see the end).
# Installed programs and libraries find the package's libraries by their RUNPATH
# ($ORIGIN/../lib and $ORIGIN), wherever the prefix is, without LD_LIBRARY_PATH. The build
# tree lays them out alike (bin/ and lib/), so they are built with that RUNPATH too: a
# build-tree RUNPATH padded for the install's would end in empty entries, which the loader
# reads as the current folder and searches for every library at every start.
include(CMakePackageConfigHelpers)

set(OVR_PACKAGE_BASE_LIBRARIES OVPlatform OVCom EventMgr Preferences ObjectManager)
get_property(OVR_PACKAGE_ADDED_LIBRARIES GLOBAL PROPERTY OVR_PACKAGE_LIBRARIES)
set(OVR_PACKAGE_TOOLS ovradio-regsvr ovradio-station ovdiag ovradio-cache ovradio-sequence
    ovradio-play)

foreach(library ${OVR_PACKAGE_BASE_LIBRARIES} ${OVR_PACKAGE_ADDED_LIBRARIES})
  set_target_properties(${library} PROPERTIES INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS ${library} LIBRARY DESTINATION lib)
endforeach()

foreach(tool ${OVR_PACKAGE_TOOLS})
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib"
                                             BUILD_WITH_INSTALL_RPATH ON)
    install(TARGETS ${tool} RUNTIME DESTINATION bin)
  endif()
endforeach()

# The plugin finds the package's libraries by a run-time path relative to its own folder.
option(OVR_GST_SYSTEM_PLUGIN_DIR "Install the GStreamer plugin into GStreamer's plugin folder" OFF)
if(TARGET gstovradio)
  set(OVR_GST_PLUGIN_DIR lib/gstreamer-1.0)
  if(OVR_GST_SYSTEM_PLUGIN_DIR)
    pkg_get_variable(OVR_GST_PLUGIN_DIR gstreamer-1.0 pluginsdir)
    # Relative to the prefix where it lies under it, so that the run-time path stays
    # relative and cpack's staging folder works.
    string(FIND "${OVR_GST_PLUGIN_DIR}" "${CMAKE_INSTALL_PREFIX}/" at)
    if(at EQUAL 0)
      file(RELATIVE_PATH OVR_GST_PLUGIN_DIR "${CMAKE_INSTALL_PREFIX}" "${OVR_GST_PLUGIN_DIR}")
    endif()
  endif()
  if(IS_ABSOLUTE "${OVR_GST_PLUGIN_DIR}")
    set(plugin_rpath "${CMAKE_INSTALL_PREFIX}/lib")
  else()
    file(RELATIVE_PATH plugin_rpath "/root/${OVR_GST_PLUGIN_DIR}" "/root/lib")
    string(REGEX REPLACE "/$" "" plugin_rpath "$ORIGIN/${plugin_rpath}")
  endif()
  # Built with the installed run-time path, as the libraries and tools are: a build-tree
  # path that CMake rewrites at install ends in an empty entry, which the loader reads as
  # the current folder and searches before the system's. The build tree keeps the plugin
  # in lib/gstreamer-1.0, so where it installs elsewhere, $ORIGIN/.. is added for the build
  # tree (an installed plugin finds only a system folder there).
  set(plugin_build_rpath "$ORIGIN/..")
  if(NOT plugin_rpath STREQUAL plugin_build_rpath)
    list(APPEND plugin_rpath "${plugin_build_rpath}")
  endif()
  set_target_properties(gstovradio PROPERTIES INSTALL_RPATH "${plugin_rpath}"
                                              BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS gstovradio LIBRARY DESTINATION ${OVR_GST_PLUGIN_DIR})
endif()

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

# The Debian package (`make package`, cpack -G DEB): everything above under /usr, with the
# dependencies on the Debian libraries it links worked out by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ovradio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "OVRadioEngine developers <ovradio@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Radio streaming engine for desktop music players, with a GStreamer source")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "The radio engine (a COM-style in-process server), its host libraries, tools, headers, "
       "pkg-config and CMake files, and the GStreamer element ovradiosrc, with which any "
       "GStreamer player plays ovradio:// stations.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# What plays the MPEG audio the element gives, and gst-play-1.0.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-base-apps")
# The pkg-config file is written at install time with the prefix it is installed under.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
include(CPack)
