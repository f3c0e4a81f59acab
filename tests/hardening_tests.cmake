cs_test(hardening_test hardening_test.cpp state_test.cpp)
cs_test(push_test push_test.cpp)
