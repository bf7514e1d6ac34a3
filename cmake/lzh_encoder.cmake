# The LZH encoder and header writer: a library of its own, for the host
# tools (never for the stub). It uses only the codec's CRC-16 from the core.
set(KASUMIRO_LZH_ENCODER_SOURCES
  src/lzh/huffman_builder.cpp
  src/lzh/lz_match_finder.cpp
  src/lzh/block_encoder.cpp
  src/lzh/lzh_encoder.cpp
  src/lzh/header_writer.cpp)
add_library(kasumiro_lzh_encoder STATIC ${KASUMIRO_LZH_ENCODER_SOURCES})
target_include_directories(kasumiro_lzh_encoder PUBLIC src)
target_link_libraries(kasumiro_lzh_encoder PUBLIC kasumiro_core)
