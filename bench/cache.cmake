# The credentials cache: lookups, the cleaning's hold of the lock, memory per
# entry.
turnpike_benchmark(turnpike_cache_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cache_bench.cpp
  LIBS turnpike_cache)
