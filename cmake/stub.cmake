# The Windows stub: the portable core, the Win32 platform layer and the Win32
# user interface, linked without the C runtime's start-up code and then laid
# out by our image tool.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

set(KASUMIRO_LAYOUT_TOOL "" CACHE FILEPATH "The host's kasumiro-layout (lays out the linked stub)")

set(KASUMIRO_STUB_SOURCES
  ${KASUMIRO_LZH_SOURCES}
  ${KASUMIRO_CORE_SOURCES}
  ${KASUMIRO_STUB_LOGIC_SOURCES}
  ${KASUMIRO_STUB_WIN32_SOURCES})

add_executable(kasumiro-stub-linked WIN32 ${KASUMIRO_STUB_SOURCES})
# What the resource script includes (windres leaves no dependency file).
set_source_files_properties(src/stub/kasumiro.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/src/platform/message_texts.inc;${CMAKE_SOURCE_DIR}/src/stub/resource.h;${CMAKE_SOURCE_DIR}/src/stub/kasumiro.ico;${CMAKE_SOURCE_DIR}/src/stub/kasumiro.manifest")
target_include_directories(kasumiro-stub-linked PRIVATE src)
target_compile_definitions(kasumiro-stub-linked PRIVATE WIN32_LEAN_AND_MEAN _WIN32_IE=0x0500)

# Options for size, used to compile and again to link (link-time
# optimisation lets the linker drop and fold across the core and the user
# interface: about 2 KB less code). -malign-data=abi: tables aligned as the
# ABI needs, not padded to 32 bytes for vector loads the stub never makes.
# -fno-tree-loop-distribute-patterns: the stub's own C library routines
# (c_library.cpp) must not become calls of themselves. (No -fdata-sections:
# on PE it moves zero-initialised data out of .bss into the file.)
set(KASUMIRO_STUB_OPTIONS -Oz -flto -malign-data=abi -fno-tree-loop-distribute-patterns)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(KASUMIRO_ENTRY _kasumiroEntry@0)
  # Code for every x86 that Windows 95 and NT 3.51 run on (the compiler's
  # default, the Pentium Pro, has instructions a Pentium lacks), scheduled
  # for today's processors, which costs no bytes. Stack
  # probes are what make MinGW pass arguments by moves into a preallocated
  # area and keep a frame pointer: without them, pushes and no frame pointer
  # make the code a tenth smaller. Probes matter only for frames of a page
  # or more, which the build refuses instead. The Win32 calls need no more
  # than 4-byte stack alignment.
  list(APPEND KASUMIRO_STUB_OPTIONS -march=i686 -mtune=generic -mno-stack-arg-probe
    -fomit-frame-pointer -mpreferred-stack-boundary=2 -Werror=frame-larger-than=4000)
else()
  set(KASUMIRO_ENTRY kasumiroEntry)
endif()
target_compile_options(kasumiro-stub-linked PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${KASUMIRO_STUB_OPTIONS} -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-ident -ffunction-sections
  -fno-stack-protector -fno-threadsafe-statics -fno-use-cxa-atexit>)

# -Oz takes fewer bytes even where that costs time. The decoder and the
# output sink, whose loops run for every byte extracted, keep -Os; link-time
# optimisation keeps each function's own level.
set(KASUMIRO_STUB_DECODER_SOURCES ${KASUMIRO_STUB_SOURCES})
list(FILTER KASUMIRO_STUB_DECODER_SOURCES INCLUDE REGEX "^src/lzh/|^src/extract/output_sink")
set_source_files_properties(${KASUMIRO_STUB_DECODER_SOURCES} PROPERTIES COMPILE_OPTIONS -Os)
# The slots of the imports that the program binds itself are defined in
# assembly, which the linker sees only in an object of machine code.
set_source_files_properties(src/stub/dll_search.cpp PROPERTIES COMPILE_OPTIONS -fno-lto)

# No C runtime: our own entry, and the sections laid out by our own linker
# script (cmake/stub.ld). Hardened as a downloaded program must be: base
# relocations for address space layout randomisation (DYNAMIC_BASE, and
# HIGH_ENTROPY_VA on x86_64), data never executable (NX_COMPAT), and on
# i686 no structured exception handlers (NO_SEH: a handler address planted
# on the stack cannot point into the image). The symbols stay for the
# layout tool, which finds the load configuration by its name and drops
# them.
set(KASUMIRO_STUB_IMAGE_FLAGS -Wl,--dynamicbase -Wl,--nxcompat -Wl,--enable-reloc-section)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  list(APPEND KASUMIRO_STUB_IMAGE_FLAGS -Wl,--no-seh)
else()
  list(APPEND KASUMIRO_STUB_IMAGE_FLAGS -Wl,--high-entropy-va)
endif()
target_link_options(kasumiro-stub-linked PRIVATE
  ${KASUMIRO_STUB_OPTIONS} -nostdlib -Wl,--gc-sections -Wl,-e,${KASUMIRO_ENTRY}
  -Wl,--subsystem,windows ${KASUMIRO_STUB_IMAGE_FLAGS} -Wl,--no-insert-timestamp
  -Wl,-T,${CMAKE_CURRENT_SOURCE_DIR}/cmake/stub.ld)
set_target_properties(kasumiro-stub-linked PROPERTIES
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/stub.ld)
# Only what the program imports: comctl32.dll, shell32.dll and ole32.dll it
# binds itself
# (src/stub/dll_search.cpp), and their import libraries would bring their
# own definitions of those imports. (The Windows libraries that CMake adds
# to every program by default are not wanted here, and the Wine helpers
# name theirs.)
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_libraries(kasumiro-stub-linked PRIVATE user32 kernel32 gcc)

if(KASUMIRO_LAYOUT_TOOL)
  add_custom_command(TARGET kasumiro-stub-linked POST_BUILD
    COMMAND ${KASUMIRO_LAYOUT_TOOL} --compact --strip-symbols $<TARGET_FILE:kasumiro-stub-linked> ${CMAKE_BINARY_DIR}/kasumiro-stub.exe
    COMMENT "Laying out kasumiro-stub.exe")
endif()
