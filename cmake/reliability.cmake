# Reliability: sanitizer builds, the crash-test driver and the fuzz targets.

# -DQUILLOCK_SANITIZE=ON builds every target of the project with
# AddressSanitizer and UndefinedBehaviorSanitizer; any finding stops the
# program that made it.
option(QUILLOCK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# Kills the program at random moments and checks what is left of the vault.
if(BUILD_TESTING)
  add_executable(quillock-crashtest tests/crash/crashtest.cpp)
  target_link_libraries(quillock-crashtest PRIVATE quillock_testsupport)
  target_include_directories(quillock-crashtest PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  # Preloaded into the children to cut them short at one file step after another.
  add_library(quillock-crashpoint MODULE tests/crash/crashpoint.cpp)
  set_target_properties(quillock-crashpoint PROPERTIES PREFIX "")
  target_link_libraries(quillock-crashpoint PRIVATE ${CMAKE_DL_LIBS})
  target_compile_definitions(quillock-crashtest PRIVATE
    QUILLOCK_CRASHPOINT_LIBRARY="$<TARGET_FILE:quillock-crashpoint>")
  add_dependencies(quillock-crashtest quillock-crashpoint)
endif()

if(QUILLOCK_SANITIZE)
  set(QUILLOCK_SANITIZER_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  # Targets are made before this file is read, so they are visited one by one.
  function(quillock_sanitize_directory dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      # The preloaded library must not bring a sanitizer runtime of its own.
      if(target STREQUAL "quillock-crashpoint")
        continue()
      endif()
      if(type STREQUAL "EXECUTABLE" OR type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "SHARED_LIBRARY"
         OR type STREQUAL "MODULE_LIBRARY" OR type STREQUAL "OBJECT_LIBRARY")
        set_property(TARGET ${target} APPEND PROPERTY COMPILE_OPTIONS ${QUILLOCK_SANITIZER_FLAGS})
        if(NOT type STREQUAL "STATIC_LIBRARY" AND NOT type STREQUAL "OBJECT_LIBRARY")
          set_property(TARGET ${target} APPEND PROPERTY LINK_OPTIONS ${QUILLOCK_SANITIZER_FLAGS})
        endif()
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir ${subdirs})
      quillock_sanitize_directory(${subdir})
    endforeach()
  endfunction()
  quillock_sanitize_directory(${CMAKE_SOURCE_DIR})
endif()

# libFuzzer targets, with clang only. They link an instrumented copy of the
# core of their own, so the ordinary targets of a clang build stay as they are.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(QUILLOCK_FUZZ_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  quillock_add_core(quillock_core_fuzz EXCLUDE_FROM_ALL)
  target_compile_options(quillock_core_fuzz PRIVATE -fsanitize=fuzzer-no-link ${QUILLOCK_FUZZ_FLAGS})

  set(QUILLOCK_FUZZ_TARGETS)
  file(GLOB fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
  foreach(source ${fuzz_sources})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} EXCLUDE_FROM_ALL ${source})
    target_link_libraries(${name} PRIVATE quillock_core_fuzz)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer ${QUILLOCK_FUZZ_FLAGS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer ${QUILLOCK_FUZZ_FLAGS})
    list(APPEND QUILLOCK_FUZZ_TARGETS ${name})
  endforeach()
  if(QUILLOCK_FUZZ_TARGETS)
    add_custom_target(fuzzers DEPENDS ${QUILLOCK_FUZZ_TARGETS})
  endif()
endif()
