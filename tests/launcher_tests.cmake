cs_test(launcher_unit_test launcher_unit_test.cpp)
cs_test(launcher_integration_test launcher_integration_test.cpp)
# The longest under sanitizers: started early.
set_tests_properties(launcher_integration_test PROPERTIES COST 500)
cs_test(install_test install_test.cpp)
