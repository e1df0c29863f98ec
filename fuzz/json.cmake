tavolex_fuzz(json_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/json_fuzz.cpp tavolex_json)
