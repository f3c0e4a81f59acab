cs_test(server_unit_test text_test.cpp cli_test.cpp jsonrpc_test.cpp app_request_test.cpp outbox_test.cpp
  catalogue_test.cpp
  line_reader_test.cpp)
cs_test(companion_unit_test companion_unit_test.cpp)
cs_test(companion_socket_test companion_socket_test.cpp)
cs_test(server_integration_test server_integration_test.cpp)
# Mostly waiting: started first so the rest runs beside it.
cs_test(slow_test slow_test.cpp)
set_tests_properties(slow_test PROPERTIES COST 1000)
