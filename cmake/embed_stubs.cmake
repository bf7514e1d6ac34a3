# Writes OUTPUT, a C++ source that holds the stubs STUB_i686 and STUB_x86_64
# (either may be missing) as byte arrays for src/tools/pack/embedded_stubs.h.
set(text "// Generated from the built stubs; do not edit.\n#include \"tools/pack/embedded_stubs.h\"\n\n")
foreach(arch i686 x86_64)
  if(DEFINED STUB_${arch} AND EXISTS "${STUB_${arch}}")
    file(READ "${STUB_${arch}}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    string(APPEND text "static const uint8_t stub_${arch}[${size}] = {\n${bytes}};\n")
    set(entry_${arch} "{stub_${arch}, ${size}}")
  else()
    set(entry_${arch} "{nullptr, 0}")
  endif()
endforeach()
string(APPEND text "
EmbeddedStub embeddedStub(StubArch arch) {
  return arch == STUB_I686 ? EmbeddedStub${entry_i686} : EmbeddedStub${entry_x86_64};
}
")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
