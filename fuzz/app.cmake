# The records handed between processes: hand-over, command request, command reply.
tavolex_fuzz(fuzz_app_records ${CMAKE_CURRENT_SOURCE_DIR}/app_records.cpp tavolex_app)
