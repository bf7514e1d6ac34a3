// The few C library routines the program calls, for the stub, which is
// linked without a C library: importing them from msvcrt.dll costs more
// (a DLL, its import entries and a jump for each) than these loops, and
// link-time optimisation inlines most of them where they are used.
//
// The stub is compiled with -fno-tree-loop-distribute-patterns, so that the
// compiler never turns one of these loops into a call of the routine itself.
#include <windows.h>

#include <cstddef>

extern "C" {

size_t strlen(const char* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

char* strcpy(char* destination, const char* source) {
  char* d = destination;
  while ((*d++ = *source++) != 0) {
  }
  return destination;
}

char* strcat(char* destination, const char* source) {
  strcpy(destination + strlen(destination), source);
  return destination;
}

int strncmp(const char* a, const char* b, size_t count) {
  for (; count; --count, ++a, ++b) {
    const int difference = static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
    if (difference || !*a) return difference;
  }
  return 0;
}

int strcmp(const char* a, const char* b) { return strncmp(a, b, static_cast<size_t>(-1)); }

char* strchr(const char* text, int c) {
  for (;; ++text) {
    if (*text == static_cast<char>(c)) return const_cast<char*>(text);
    if (!*text) return nullptr;
  }
}

char* strrchr(const char* text, int c) {
  const char* found = nullptr;
  for (;; ++text) {
    if (*text == static_cast<char>(c)) found = text;
    if (!*text) return const_cast<char*>(found);
  }
}

void* memmove(void* destination, const void* source, size_t count) {
  char* d = static_cast<char*>(destination);
  const char* s = static_cast<const char*>(source);
  if (d < s) {
    while (count--) *d++ = *s++;
  } else {
    while (count--) d[count] = s[count];
  }
  return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
  return memmove(destination, source, count);
}

void* memset(void* destination, int value, size_t count) {
  char* d = static_cast<char*>(destination);
  while (count--) *d++ = static_cast<char>(value);
  return destination;
}

// Only a programming error gets here (the C++ runtime's checks); the exit
// code is the one the C library's abort gives.
void abort() { ExitProcess(3); }

}  // extern "C"
