# The multipart upload reader.
tavolex_fuzz(multipart_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/multipart_fuzz.cpp tavolex_web tavolex_platform)
