# The PDF writer on a menu-like document of shapes, gradients, clips and a logo.
find_package(ZLIB REQUIRED)
add_executable(pdf_writer_bench ${CMAKE_CURRENT_SOURCE_DIR}/pdf_writer_bench.cpp)
target_link_libraries(pdf_writer_bench PRIVATE tavolex_options tavolex_pdf ZLIB::ZLIB)
tavolex_reach_inside(pdf_writer_bench tavolex_pdf)
