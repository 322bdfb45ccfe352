# The generated-vault tool, and the benchmark program (built on request:
# scripts/bench.sh builds and runs it).
add_library(quillock_vaultgen STATIC bench/vaultgen.cpp bench/vaultgen.h)
target_include_directories(quillock_vaultgen PUBLIC bench)
target_link_libraries(quillock_vaultgen PUBLIC quillock_core)

add_executable(quillock-makebigvault tools/makebigvault.cpp)
target_link_libraries(quillock-makebigvault PRIVATE quillock_vaultgen)

find_package(benchmark QUIET)
if(benchmark_FOUND)
  file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS bench/bench_*.cpp)
  add_executable(quillock-bench EXCLUDE_FROM_ALL ${BENCH_SOURCES})
  target_link_libraries(quillock-bench PRIVATE quillock_vaultgen quillock_gui benchmark::benchmark)
endif()

# The password health check against a generated breach list, and the
# generator (scripts/bench.sh --health).
if(benchmark_FOUND)
  add_executable(quillock-bench-health EXCLUDE_FROM_ALL bench/healthbench.cpp)
  target_link_libraries(quillock-bench-health PRIVATE quillock_vaultgen benchmark::benchmark)
  target_compile_definitions(quillock-bench-health PRIVATE QUILLOCK_HEALTH_TOOL="$<TARGET_FILE:quillock-health>")
  add_dependencies(quillock-bench-health quillock-health)
endif()
