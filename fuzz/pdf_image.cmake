# Picture decoding (PNG, JPEG, WebP, GIF) of bytes that come from page data URIs.
tavolex_fuzz(image_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/image_fuzz.cpp tavolex_pdf)
