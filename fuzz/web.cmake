# The web server's request parsers.
tavolex_fuzz(fuzz_web_request ${CMAKE_CURRENT_SOURCE_DIR}/web/request.cpp tavolex_web)
tavolex_fuzz(fuzz_web_decoding ${CMAKE_CURRENT_SOURCE_DIR}/web/decoding.cpp tavolex_web)
tavolex_fuzz(fuzz_web_range ${CMAKE_CURRENT_SOURCE_DIR}/web/range.cpp tavolex_web)
