# The PE image pieces: the DOS part, the reader, the layout writer and the
# manifest rewriter; and the host tool that rewrites the linked Windows stub
# into the self-extractor layout.
add_library(kasumiro_image STATIC
  src/tools/image/dos_part.cpp
  src/tools/image/file_bytes.cpp
  src/tools/image/pe_image.cpp
  src/tools/image/pe_layout.cpp
  src/tools/image/pe_manifest.cpp)
target_include_directories(kasumiro_image PUBLIC src)

add_executable(kasumiro-layout src/tools/image/layout_main.cpp)
target_link_libraries(kasumiro-layout PRIVATE kasumiro_image)

# Draws the application icon; the stub's checked-in .ico is its output.
add_executable(kasumiro-icon src/tools/icon/make_icon.cpp)
