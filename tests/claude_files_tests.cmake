cs_test(claude_files_test claude_files_test.cpp)
cs_test(live_sessions_test live_sessions_test.cpp)
cs_test(prices_test prices_test.cpp)
cs_test(transcript_store_test transcript_store_test.cpp)
