# Both Windows stubs, cross-built with MinGW-w64 inside the native build and
# embedded in the kasumiro tool, so that `kasumiro a` needs no other file.
# Without the cross compilers the tool is built without them and asks for
# --stub FILE.
include(ExternalProject)

set(KASUMIRO_EMBEDDED_STUBS_SOURCE ${CMAKE_BINARY_DIR}/embedded_stubs.cpp)
set(KASUMIRO_STUB_FILES "")
set(KASUMIRO_STUB_TARGETS "")
foreach(arch i686 x86_64)
  find_program(KASUMIRO_MINGW_${arch} ${arch}-w64-mingw32-g++)
  if(NOT KASUMIRO_MINGW_${arch})
    message(WARNING "${arch}-w64-mingw32-g++ not found: kasumiro is built without the ${arch} stub")
    continue()
  endif()
  set(stub ${CMAKE_BINARY_DIR}/stub-${arch}/kasumiro-stub.exe)
  ExternalProject_Add(kasumiro_stub_${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/stub-${arch}
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-${arch}.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel
      -DKASUMIRO_LAYOUT_TOOL=$<TARGET_FILE:kasumiro-layout>
    BUILD_COMMAND ${CMAKE_COMMAND} --build . --target kasumiro-stub-linked
    # The stub's sources are the project's: let its own build decide.
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${stub}
    DEPENDS kasumiro-layout)
  list(APPEND KASUMIRO_STUB_FILES -DSTUB_${arch}=${stub})
  list(APPEND KASUMIRO_STUB_TARGETS kasumiro_stub_${arch} ${stub})
endforeach()

add_custom_command(OUTPUT ${KASUMIRO_EMBEDDED_STUBS_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${KASUMIRO_EMBEDDED_STUBS_SOURCE} ${KASUMIRO_STUB_FILES}
          -P ${PROJECT_SOURCE_DIR}/cmake/embed_stubs.cmake
  DEPENDS ${KASUMIRO_STUB_TARGETS} ${PROJECT_SOURCE_DIR}/cmake/embed_stubs.cmake
  COMMENT "Embedding the Windows stubs")
