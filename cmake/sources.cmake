# Every target's sources, listed here once. Paths are relative to the
# project's root. The layers, from the bottom: the codec (lzh), the seams
# (platform, ui), the core above the codec (paths, startup, extract), and on
# top the Windows program (stub) and the host tools (tools).

# The codec: depends on nothing else of the program.
set(KASUMIRO_LZH_SOURCES
  src/lzh/crc16.cpp
  src/lzh/bit_input.cpp
  src/lzh/huffman_table.cpp
  src/lzh/block_decoder.cpp)
# The encoder and header writer: host tools only, never the stub.
set(KASUMIRO_LZH_ENCODER_SOURCES
  src/lzh/huffman_builder.cpp
  src/lzh/lz_match_finder.cpp
  src/lzh/block_encoder.cpp
  src/lzh/lzh_encoder.cpp
  src/lzh/header_writer.cpp)

# The portable core above the codec, shared by the native build and the stub.
set(KASUMIRO_CORE_SOURCES
  src/startup/sfx_state.cpp
  src/startup/config.cpp
  src/startup/exact_texts.cpp
  src/startup/messages.cpp
  src/startup/program_start.cpp
  src/paths/path_strings.cpp
  src/paths/path_variables.cpp
  src/extract/entry_header.cpp
  src/extract/output_sink.cpp
  src/extract/passes.cpp
  src/extract/post_command.cpp
  src/extract/temp_folder.cpp
  src/extract/running_crc.cpp
  src/extract/progress.cpp
  src/extract/member_data.cpp)

# The platform seam on Linux (its CP932 tables are generated at build time).
set(KASUMIRO_PLATFORM_POSIX_SOURCES
  src/platform/link_walk.cpp
  src/platform/posix/platform_posix.cpp
  src/platform/posix/text_posix.cpp)

# The Windows program: the platform seam and the UI seam on Win32, the
# program's start, dialogs and resources. The dialogs' window-free rules
# (KASUMIRO_STUB_LOGIC_SOURCES) are also built natively for the tests.
set(KASUMIRO_STUB_LOGIC_SOURCES
  src/stub/dialog_logic.cpp)
set(KASUMIRO_STUB_WIN32_SOURCES
  src/platform/win32/c_library.cpp
  src/platform/link_walk.cpp
  src/platform/win32/platform_win32.cpp
  src/platform/win32/win32_text.cpp
  src/ui/win32/ui_text.cpp
  src/ui/win32/host_win32.cpp
  src/stub/stub_text.cpp
  src/stub/main_dialog.cpp
  src/stub/folder_select.cpp
  src/stub/dll_search.cpp
  src/stub/program_main.cpp
  src/stub/kasumiro.rc)

# Host tools: the image layout pieces, the layout tool, the icon drawer.
set(KASUMIRO_IMAGE_SOURCES
  src/tools/image/dos_part.cpp
  src/tools/image/file_bytes.cpp
  src/tools/image/pe_image.cpp
  src/tools/image/pe_layout.cpp
  src/tools/image/pe_manifest.cpp
  src/tools/image/pe_resources.cpp
  src/tools/image/author_resources.cpp)
set(KASUMIRO_PACK_NAMES_SOURCES
  src/tools/pack/member_names.cpp
  src/tools/pack/pack_support.cpp
  src/tools/pack/exact_texts_resource.cpp)
# The kasumiro tool: the runner with its terminal host, and the packer.
set(KASUMIRO_TOOL_SOURCES
  src/tools/runner/main.cpp
  src/ui/terminal/terminal_host.cpp
  src/tools/pack/pack_command.cpp
  src/tools/pack/pack_options.cpp
  src/tools/pack/input_collector.cpp
  src/tools/pack/archive_writer.cpp
  src/tools/pack/stub_image.cpp
  src/tools/pack/stub_resources.cpp)
