// The Windows stubs built with the tool and embedded in it.
#pragma once

#include <cstddef>
#include <cstdint>

enum StubArch { STUB_I686, STUB_X86_64 };

struct EmbeddedStub {
  const uint8_t* data;  // null when the tool was built without this stub
  size_t size;
};

EmbeddedStub embeddedStub(StubArch arch);
