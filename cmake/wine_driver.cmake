# Win32 helpers of the end-to-end tests under Wine: the test driver (a
# console program) and the program that records how it was started. Both are
# linked statically so that they need no MinGW DLLs at run time.
add_executable(kasumiro-wine-driver tests/wine/driver.cpp)
target_compile_definitions(kasumiro-wine-driver PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_link_options(kasumiro-wine-driver PRIVATE -s -static -static-libgcc -static-libstdc++)
target_link_libraries(kasumiro-wine-driver PRIVATE user32 gdi32 comctl32)

add_executable(kasumiro-record-args WIN32 tests/wine/record_args.cpp)
target_compile_definitions(kasumiro-record-args PRIVATE UNICODE _UNICODE)
target_link_options(kasumiro-record-args PRIVATE -s -static -static-libgcc -static-libstdc++)
target_link_libraries(kasumiro-record-args PRIVATE shell32)

# The DLL planted beside a self-extracting file under the names of system
# DLLs: loaded, it leaves a mark.
add_library(kasumiro-probe SHARED tests/wine/probe_dll.cpp)
set_target_properties(kasumiro-probe PROPERTIES PREFIX "")
target_link_options(kasumiro-probe PRIVATE -s -static -static-libgcc -static-libstdc++)
