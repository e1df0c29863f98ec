# Text runs of any bytes, with random position lists, laid out and embedded.
tavolex_fuzz(text_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/text_fuzz.cpp tavolex_pdf)
