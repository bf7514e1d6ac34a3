# The portable core's sources, shared by the native build and the stub.
# The codec comes first: it depends on nothing else of the program.
set(KASUMIRO_LZH_SOURCES
  src/lzh/crc16.cpp
  src/lzh/bit_input.cpp
  src/lzh/huffman_table.cpp
  src/lzh/block_decoder.cpp)
set(KASUMIRO_CORE_SOURCES
  ${KASUMIRO_LZH_SOURCES}
  src/startup/sfx_state.cpp
  src/startup/config.cpp
  src/startup/messages.cpp
  src/startup/program_start.cpp
  src/paths/path_strings.cpp
  src/paths/path_variables.cpp
  src/extract/entry_header.cpp
  src/extract/output_sink.cpp
  src/extract/passes.cpp
  src/extract/post_command.cpp
  src/extract/abort_guard.cpp)
