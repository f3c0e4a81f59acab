cs_test(lease_test lease_test.cpp)
cs_test(group_test group_test.cpp)
cs_test(statusline_test statusline_test.cpp)
