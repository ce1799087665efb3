# bench/http/run in its few-second smoke mode, so that the side-by-side HTTP
# benchmark keeps working. Not a performance test: it passes when every
# server answered as it should, whatever the figures. Skipped (exit 77)
# without wrk. Runs under Debian's python3, where python3-matplotlib is.
if(TARGET mod_turnpike AND TURNPIKE_BUILD_TESTS)
  find_program(TURNPIKE_BENCH_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT TURNPIKE_BENCH_PYTHON)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(TURNPIKE_BENCH_PYTHON ${Python3_EXECUTABLE})
  endif()
  set(nginx_arguments "")
  if(TARGET ngx_http_turnpike_module)
    set(nginx_arguments --nginx-module $<TARGET_FILE:ngx_http_turnpike_module>)
  endif()
  add_test(NAME bench_http_smoke
           COMMAND ${TURNPIKE_BENCH_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/http/run --smoke
                   --module $<TARGET_FILE:mod_turnpike> ${nginx_arguments}
                   --out ${CMAKE_CURRENT_BINARY_DIR}/http-smoke)
  set_tests_properties(bench_http_smoke PROPERTIES
                       LABELS bench TIMEOUT 90 SKIP_RETURN_CODE 77
                       ENVIRONMENT "TURNPIKE_APACHE_MODULES=${TURNPIKE_APACHE_MODULES_DIR}")
endif()
