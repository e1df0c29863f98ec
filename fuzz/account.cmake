tavolex_fuzz(sql_script_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/sql_script_fuzz.cpp tavolex_account)
