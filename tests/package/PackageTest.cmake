# Run by ctest (see CMakeLists.txt beside this file). Every step has a time limit and
# fails with what it printed.
cmake_minimum_required(VERSION 3.20)

set(STEP_LIMIT 120)
if(DEFINED ENV{TMPDIR})
  set(TEMP_ROOT "$ENV{TMPDIR}")
else()
  set(TEMP_ROOT "/tmp")
endif()
string(RANDOM LENGTH 10 ALPHABET "abcdefghijklmnopqrstuvwxyz0123456789" SUFFIX)
set(WORK "${TEMP_ROOT}/ovradio-package-${SUFFIX}")
set(PREFIX "${WORK}/prefix")
file(MAKE_DIRECTORY "${WORK}")

function(fail what output)
  file(REMOVE_RECURSE "${WORK}")
  message(FATAL_ERROR "${what}\n${output}")
endfunction()

# Runs a command without LD_LIBRARY_PATH (installed programs find their libraries by
# their run-time path); out_var receives stdout and stderr.
function(run what out_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
                  TIMEOUT ${STEP_LIMIT})
  if(NOT result EQUAL 0)
    fail("${what} failed (${result}): ${ARGN}" "${output}")
  endif()
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

# 1. Install.
run("cmake --install" ignored ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}")
foreach(file include/ovradio/Com.h include/ovradio/Types.h include/ovradio/RadioEngine.h
             include/ovradio/RadioEngineIds.h lib/libOVCom.so lib/libOVPlatform.so
             lib/libOVRadioEngine.so
             lib/libEventMgr.so lib/libPreferences.so lib/libObjectManager.so
             bin/ovradio-regsvr bin/ovradio-station bin/ovdiag bin/ovradio-cache
             bin/ovradio-sequence bin/ovradio-play lib/pkgconfig/ovradio.pc
             lib/cmake/OVRadioEngine/OVRadioEngineConfig.cmake
             lib/cmake/OVRadioEngine/OVRadioEngineConfigVersion.cmake)
  if(NOT EXISTS "${PREFIX}/${file}")
    fail("the package has no ${file}" "")
  endif()
endforeach()

# Every installed program starts without LD_LIBRARY_PATH: the loader finds the package's
# libraries (or says so and exits with 127). A usage message is fine here.
file(GLOB tools "${PREFIX}/bin/*")
foreach(tool ${tools})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH "${tool}" --help
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
                  TIMEOUT ${STEP_LIMIT})
  if(result EQUAL 127 OR output MATCHES "error while loading shared libraries" OR
     NOT result MATCHES "^[0-9]+$")
    fail("${tool} does not start from the package (${result})" "${output}")
  endif()
endforeach()
run("ovradio-cache show" ignored ${CMAKE_COMMAND} -E env "OVRADIO_HOME=${WORK}/home-cache"
    "${PREFIX}/bin/ovradio-cache" show)

# 2. The radio host with pkg-config.
run("pkg-config" pc_flags ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${PREFIX}/lib/pkgconfig"
    pkg-config --cflags --libs ovradio)
string(STRIP "${pc_flags}" pc_flags)
if(NOT pc_flags MATCHES "-I${PREFIX}/include" OR NOT pc_flags MATCHES "-Wl,-rpath,${PREFIX}/lib")
  fail("pkg-config does not name the installed headers and run-time path" "${pc_flags}")
endif()
separate_arguments(pc_list UNIX_COMMAND "${pc_flags}")
separate_arguments(host_flags UNIX_COMMAND "${HOST_FLAGS}")
run("building the radio host with pkg-config" ignored "${CXX}" -std=c++17 -Wall -Wextra -Werror
    ${host_flags} "${HOST_SOURCE_DIR}/RadioHost.cpp" ${pc_list} -o "${WORK}/radio-host")

# 3. The radio host with find_package.
run("configuring the radio host with find_package" ignored ${CMAKE_COMMAND}
    -S "${HOST_SOURCE_DIR}" -B "${WORK}/host-cmake" -G "${GENERATOR}"
    "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DCMAKE_CXX_FLAGS=${HOST_FLAGS}" "-DCMAKE_PREFIX_PATH=${PREFIX}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
run("building the radio host with find_package" ignored ${CMAKE_COMMAND} --build "${WORK}/host-cmake")

# 4. The radio host of the guide, built both ways, plays two tracks of the installed
#    station through the installed engine, which the installed ovradio-regsvr registers.
#    The guide shows the program as it is.
file(READ "${HOST_SOURCE_DIR}/RadioHost.cpp" radio_host_source)
file(READ "${GUIDE}" guide)
string(FIND "${guide}" "${radio_host_source}" at)
if(at EQUAL -1)
  fail("docs/host-guide.md does not show tests/package/host/RadioHost.cpp as it is" "")
endif()
foreach(host radio-host host-cmake/radio-host)
  run("${host} against ovradio-station" radio_output bash "${RUN_RADIO_HOST}" "${PREFIX}"
      "${WORK}" "${WORK}/${host}")
  if(NOT radio_output MATCHES "host: ok" OR NOT radio_output MATCHES "code 14")
    fail("${host} did not finish" "${radio_output}")
  endif()
endforeach()
message(STATUS "the radio host:\n${radio_output}")

file(REMOVE_RECURSE "${WORK}")
message(STATUS "the installed package builds the radio host with pkg-config and CMake, and "
               "it plays the installed station through the installed engine")
