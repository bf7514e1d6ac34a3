# Host tool that rewrites the linked Windows stub into the self-extractor
# layout.
target_sources(kasumiro_image PRIVATE ${PROJECT_SOURCE_DIR}/src/tools/image/pe_layout.cpp)

add_executable(kasumiro-layout src/tools/image/layout_main.cpp)
target_link_libraries(kasumiro-layout PRIVATE kasumiro_image)

# Draws the application icon; the stub's checked-in .ico is its output.
add_executable(kasumiro-icon src/tools/icon/make_icon.cpp)
