// kasumiro-wine-driver: drives a Win32 program for the end-to-end tests.
//
// It reads a script (a file, or standard input with "-") of one command per
// line, runs the commands in order, prints each one, and stops with exit code
// 1 at the first command that fails (the started program is then ended).
//
// Lines are split into words at blanks; a part in single quotes keeps its
// blanks ('' inside quotes is one quote). Words of the form key=value are
// options. Texts are UTF-8 and are compared with what the windows hold after
// conversion from UTF-16. Windows are given names by "wait" and used by name;
// a control is named by its decimal id, "caption" means the window itself.
//
//   cwd DIR                          working directory of the next start
//   start COMMANDLINE                start a program (one at a time)
//   wait NAME [class=C] [caption=T] [owner=NAME|none] [timeout=S]
//                                    wait for a visible top-level window of
//                                    the started program and call it NAME
//   gone NAME [timeout=S]            wait until the window NAME is destroyed
//   text NAME ID TEXT                the control's text is exactly TEXT
//   contains NAME ID TEXT            the control's text contains TEXT
//   hastext NAME TEXT                some control of the window reads TEXT
//   settext NAME ID TEXT             replace the control's text
//   click NAME ID                    press a button (BM_CLICK)
//   command NAME ID                  send WM_COMMAND with the id
//   key NAME enter|escape            post a key to the window's focus
//   enabled NAME ID yes|no           the control is (not) enabled
//   checked NAME ID yes|no           the check box is (not) checked
//   exists NAME ID yes|no            the window has (no) control with the id
//   progress NAME ID VALUE           the progress bar stands at VALUE
//   sync NAME                        wait until NAME's thread is idle
//   move NAME X Y                    move the window (to uncover another)
//   shot NAME FILE.bmp               save a picture of the window
//   dump NAME                        list the window's controls
//   exit CODE [timeout=S] [windows=none]
//                                    wait for the program's end and its code;
//                                    with windows=none, it must show no window
//                                    on the way
//   held PATH yes|no                 PATH can (not) be deleted or renamed by
//                                    another program (a rename is undone)
//   fits NAME FONT POINTS ID...      each control's text, drawn in the font
//                                    that the dialog's template names, fits
//                                    the control (a button's text within its
//                                    margins or beside its check box; a
//                                    label's in its lines)
//   waitfile PATH [timeout=S]        wait until PATH exists
//   noprocess EXE [timeout=S]        wait until no process runs image EXE
//   acp CODEPAGE                     the driver's ANSI code page (which the
//                                    programs it starts inherit) is CODEPAGE
//   rebase IN OUT BASE               write the image IN moved to the base
//                                    address BASE (hexadecimal) as OUT: each
//                                    address its base relocations list
//                                    moves along, as a loader moves them
//   base BASE                        the started program's image lies at BASE
//   echo TEXT                        print TEXT
//   clock                            print "clock MS": a monotonic time in
//                                    milliseconds, for timing the steps
//                                    between two clocks (bench/stub_speed.sh)
// windows.h comes before the other Win32 headers.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

// Shows control characters of a text so that a mismatch can be read.
std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct Failure {
  std::string message;
};

[[noreturn]] void fail(const std::string& message) { throw Failure{message}; }

struct Word {
  std::string text;
  bool option = false;  // key=value, the '=' outside quotes
  std::string key, value;
};

std::vector<Word> splitLine(const std::string& line) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size()) break;
    Word word;
    size_t equals = std::string::npos;
    bool quotedYet = false;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] == '\'') {
        quotedYet = true;
        ++i;
        for (;;) {
          if (i >= line.size()) fail("unterminated quote");
          if (line[i] == '\'') {
            if (i + 1 < line.size() && line[i + 1] == '\'') {
              word.text += '\'';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          word.text += line[i++];
        }
      } else {
        if (line[i] == '=' && !quotedYet && equals == std::string::npos) equals = word.text.size();
        word.text += line[i++];
      }
    }
    if (equals != std::string::npos && equals > 0) {
      word.option = true;
      word.key = word.text.substr(0, equals);
      word.value = word.text.substr(equals + 1);
    }
    words.push_back(word);
  }
  return words;
}

struct Step {
  std::string command;
  std::vector<std::string> args;
  std::map<std::string, std::string> options;

  const std::string& arg(size_t i) const {
    if (i >= args.size()) fail(command + ": missing argument " + std::to_string(i + 1));
    return args[i];
  }
  double seconds(double fallback) const {
    auto it = options.find("timeout");
    return it == options.end() ? fallback : std::atof(it->second.c_str());
  }
};

class Driver {
 public:
  ~Driver() { endProgram(); }

  static std::string textOf(HWND w);

  void run(const Step& step);
  void endProgram() {
    if (process_) {
      DWORD code = 0;
      if (GetExitCodeProcess(process_, &code) && code == STILL_ACTIVE)
        TerminateProcess(process_, 99);
      CloseHandle(process_);
      process_ = nullptr;
    }
  }

 private:
  HWND window(const std::string& name) const {
    auto it = windows_.find(name);
    if (it == windows_.end()) fail("no window called " + name);
    if (!IsWindow(it->second)) fail("window " + name + " no longer exists");
    return it->second;
  }
  HWND control(const std::string& name, const std::string& id) const {
    HWND w = window(name);
    if (id == "caption") return w;
    HWND c = GetDlgItem(w, std::atoi(id.c_str()));
    if (!c) fail(name + " has no control " + id);
    return c;
  }
  static bool yes(const std::string& word) {
    if (word == "yes") return true;
    if (word == "no") return false;
    fail("expected yes or no, got " + word);
  }
  HWND findWindow(const Step& step) const;
  void screenshot(HWND w, const std::string& path) const;
  void sync(HWND w) const {
    DWORD_PTR result;
    if (!SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &result))
      fail("the window does not answer");
  }
  // Polls until done() is true; a timeout is only a safety net.
  template <typename Condition>
  static bool poll(double seconds, Condition done) {
    DWORD start = GetTickCount();
    for (;;) {
      if (done()) return true;
      if (GetTickCount() - start > static_cast<DWORD>(seconds * 1000)) return false;
      Sleep(50);
    }
  }

  std::map<std::string, HWND> windows_;
  std::wstring cwd_;
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

std::string Driver::textOf(HWND w) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 20000, &length))
    fail("the window does not answer WM_GETTEXTLENGTH");
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                           SMTO_NORMAL, 20000, &copied))
    fail("the window does not answer WM_GETTEXT");
  text.resize(copied);
  return narrow(text);
}

struct Search {
  DWORD pid;
  const Step* step;
  HWND owner;
  bool checkOwner;
  HWND found;
};

BOOL CALLBACK matchWindow(HWND w, LPARAM data) {
  Search& s = *reinterpret_cast<Search*>(data);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid != s.pid || !IsWindowVisible(w)) return TRUE;
  auto& options = s.step->options;
  auto it = options.find("class");
  if (it != options.end()) {
    wchar_t name[256];
    GetClassNameW(w, name, 256);
    if (narrow(name) != it->second) return TRUE;
  }
  it = options.find("caption");
  if (it != options.end()) {
    wchar_t caption[512];
    int n = GetWindowTextW(w, caption, 512);
    if (narrow(std::wstring(caption, n)) != it->second) return TRUE;
  }
  if (s.checkOwner && GetWindow(w, GW_OWNER) != s.owner) return TRUE;
  s.found = w;
  return FALSE;
}

HWND Driver::findWindow(const Step& step) const {
  Search search{pid_, &step, nullptr, false, nullptr};
  auto it = step.options.find("owner");
  if (it != step.options.end()) {
    search.checkOwner = true;
    if (it->second != "none") search.owner = window(it->second);
  }
  EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void Driver::screenshot(HWND w, const std::string& path) const {
  SetWindowPos(w, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  RedrawWindow(w, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  sync(w);
  // Gives the X server time to show what was painted; only the picture
  // depends on it.
  Sleep(400);
  RECT r;
  GetWindowRect(w, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) fail("the window has no area");
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BOOL copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
  SelectObject(memory, old);

  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const DWORD stride = (width * 3 + 3) & ~3u;
  std::vector<unsigned char> pixels(stride * height);
  int lines = GetDIBits(memory, bitmap, 0, height, pixels.data(),
                        reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!copied || lines != height) fail("cannot copy the window from the screen");

  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = _wfopen(widen(path).c_str(), L"wb");
  if (!out) fail("cannot write " + path);
  bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
            std::fwrite(&info, sizeof info, 1, out) == 1 &&
            std::fwrite(pixels.data(), pixels.size(), 1, out) == 1;
  ok = std::fclose(out) == 0 && ok;
  if (!ok) fail("cannot write " + path);
}

struct TextSearch {
  const std::string* text;
  bool found;
};

BOOL CALLBACK matchText(HWND w, LPARAM data);

BOOL CALLBACK dumpControl(HWND w, LPARAM) {
  wchar_t name[256];
  GetClassNameW(w, name, 256);
  wchar_t text[512];
  int n = GetWindowTextW(w, text, 512);
  std::printf("    id %d class %s style %08lX text '%s'\n", GetDlgCtrlID(w), narrow(name).c_str(),
              static_cast<unsigned long>(GetWindowLongW(w, GWL_STYLE)),
              visible(narrow(std::wstring(text, n))).c_str());
  return TRUE;
}

// rebase: the image at in, moved to base as a loader would move it.
void rebaseImage(const std::wstring& in, const std::wstring& out, unsigned long long base) {
  std::vector<unsigned char> image;
  if (FILE* f = _wfopen(in.c_str(), L"rb")) {
    int ch;
    while ((ch = std::fgetc(f)) != EOF) image.push_back(static_cast<unsigned char>(ch));
    std::fclose(f);
  }
  auto at = [&](size_t offset, size_t bytes) {
    if (offset + bytes > image.size()) fail("the image is cut short");
    unsigned long long v = 0;
    for (size_t i = bytes; i-- > 0;) v = v << 8 | image[offset + i];
    return v;
  };
  auto put = [&](size_t offset, size_t bytes, unsigned long long v) {
    for (size_t i = 0; i < bytes; ++i) image[offset + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  const size_t pe = at(0x3C, 4), optional = pe + 24, table = optional + at(pe + 20, 2);
  const bool pe32 = at(optional, 2) == 0x10B;
  const size_t word = pe32 ? 4 : 8, baseField = optional + (pe32 ? 28 : 24);
  const unsigned long long delta = base - at(baseField, word);
  // File offset of an RVA.
  auto file = [&](unsigned long long rva) {
    for (size_t i = 0; i < at(pe + 6, 2); ++i) {
      const size_t h = table + 40 * i;
      const unsigned long long va = at(h + 12, 4), raw = at(h + 16, 4);
      if (rva >= va && rva < va + raw) return static_cast<size_t>(at(h + 20, 4) + (rva - va));
    }
    fail("an address outside the file data");
  };
  const size_t directory = optional + (pe32 ? 96 : 112) + 8 * 5;
  const unsigned long long relocations = at(directory, 4), size = at(directory + 4, 4);
  if (size == 0) fail("the image has no base relocations");
  for (unsigned long long block = 0; block < size;) {
    const size_t offset = file(relocations + block);
    const unsigned long long page = at(offset, 4), length = at(offset + 4, 4);
    if (length < 8 || block + length > size) fail("a broken relocation block");
    for (size_t entry = 8; entry < length; entry += 2) {
      const unsigned value = static_cast<unsigned>(at(offset + entry, 2));
      if (value >> 12 == 0) continue;
      if (value >> 12 != (pe32 ? 3u : 10u)) fail("an unexpected relocation type");
      const size_t site = file(page + (value & 0xFFF));
      put(site, word, at(site, word) + delta);
    }
    block += length;
  }
  put(baseField, word, base);
  FILE* f = _wfopen(out.c_str(), L"wb");
  if (!f || std::fwrite(image.data(), 1, image.size(), f) != image.size()) fail("cannot write");
  std::fclose(f);
}

// The space a control's text needs in font, against what the control has;
// empty when it fits, else what does not.
std::string overflow(HWND w, HFONT font) {
  wchar_t text[512];
  const int n = GetWindowTextW(w, text, 512);
  wchar_t name[64];
  GetClassNameW(w, name, 64);
  const LONG style = GetWindowLongW(w, GWL_STYLE);
  RECT client;
  GetClientRect(w, &client);
  int width = client.right - client.left;
  const int height = client.bottom - client.top;
  UINT format = DT_CALCRECT;
  if (lstrcmpiW(name, L"Button") == 0) {
    const LONG type = style & BS_TYPEMASK;
    const bool box = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                     type == BS_AUTO3STATE || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
    // The check box and the gap after it; a push button's edges and focus frame.
    width -= box ? GetSystemMetrics(SM_CXMENUCHECK) + 4 : 6;
    format |= DT_SINGLELINE;
  } else if ((style & SS_TYPEMASK) != SS_LEFTNOWORDWRAP) {
    format |= DT_WORDBREAK;
  }
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  RECT need = {0, 0, width, 0};
  DrawTextW(dc, text, n, &need, format);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  if (need.right <= width && need.bottom <= height) return "";
  return "'" + narrow(std::wstring(text, n)) + "' needs " + std::to_string(need.right) + "x" +
         std::to_string(need.bottom) + " of " + std::to_string(width) + "x" +
         std::to_string(height);
}

BOOL CALLBACK matchText(HWND w, LPARAM data) {
  TextSearch& search = *reinterpret_cast<TextSearch*>(data);
  search.found = Driver::textOf(w) == *search.text;
  return !search.found;
}

void Driver::run(const Step& step) {
  const std::string& c = step.command;
  if (c == "echo") {
    return;
  } else if (c == "clock") {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    std::printf("clock %.3f\n", static_cast<double>(now.QuadPart) * 1000.0 /
                                    static_cast<double>(frequency.QuadPart));
    std::fflush(stdout);
  } else if (c == "acp") {
    if (GetACP() != static_cast<UINT>(std::atoi(step.arg(0).c_str())))
      fail("the ANSI code page is " + std::to_string(GetACP()));
  } else if (c == "cwd") {
    cwd_ = widen(step.arg(0));
  } else if (c == "lock") {
    // Holds a file open with no sharing until the driver ends, as another
    // program that has the file open would.
    HANDLE h = CreateFileW(widen(step.arg(0)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      fail("cannot lock the file (error " + std::to_string(GetLastError()) + ")");
  } else if (c == "held") {
    // What another program would try to swap the file: rename it away (and
    // back), delete it.
    const std::wstring path = widen(step.arg(0)), moved = path + L".moved";
    const bool renamed = MoveFileW(path.c_str(), moved.c_str()) != FALSE;
    if (renamed) MoveFileW(moved.c_str(), path.c_str());
    const bool deleted = !renamed && DeleteFileW(path.c_str()) != FALSE;
    if (yes(step.arg(1)) == (renamed || deleted))
      fail(renamed   ? "the file could be renamed"
           : deleted ? "the file could be deleted"
                     : "the file could not be swapped");
  } else if (c == "start") {
    if (process_) fail("a program is still running");
    std::wstring line = widen(step.arg(0));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        cwd_.empty() ? nullptr : cwd_.c_str(), &startup, &info))
      fail("cannot start the program (error " + std::to_string(GetLastError()) + ")");
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    windows_.clear();
  } else if (c == "wait") {
    if (!process_) fail("no program started");
    HWND found = nullptr;
    if (!poll(step.seconds(30), [&] { return (found = findWindow(step)) != nullptr; }))
      fail("no such window appeared");
    windows_[step.arg(0)] = found;
  } else if (c == "gone") {
    HWND w = windows_.count(step.arg(0)) ? windows_[step.arg(0)] : nullptr;
    if (!w) fail("no window called " + step.arg(0));
    if (!poll(step.seconds(30), [&] { return !IsWindow(w); })) fail("the window is still there");
  } else if (c == "text" || c == "contains") {
    std::string actual = textOf(control(step.arg(0), step.arg(1)));
    const std::string& expected = step.arg(2);
    bool ok = c == "text" ? actual == expected : actual.find(expected) != std::string::npos;
    if (!ok) fail("the text is '" + visible(actual) + "'");
  } else if (c == "hastext") {
    TextSearch search{&step.arg(1), false};
    EnumChildWindows(window(step.arg(0)), matchText, reinterpret_cast<LPARAM>(&search));
    if (!search.found) fail("no control reads that text");
  } else if (c == "settext") {
    std::wstring text = widen(step.arg(2));
    DWORD_PTR result;
    if (!SendMessageTimeoutW(control(step.arg(0), step.arg(1)), WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, 20000, &result))
      fail("the window does not answer WM_SETTEXT");
  } else if (c == "click") {
    // Sent without waiting: a button that opens a modal dialog returns only
    // when that closes. Sent messages keep their order, so a later "sync"
    // or query is answered after the click has been handled.
    SendNotifyMessageW(control(step.arg(0), step.arg(1)), BM_CLICK, 0, 0);
  } else if (c == "command") {
    HWND w = window(step.arg(0));
    int id = std::atoi(step.arg(1).c_str());
    SendNotifyMessageW(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(GetDlgItem(w, id)));
  } else if (c == "key") {
    HWND w = window(step.arg(0));
    UINT key = step.arg(1) == "enter" ? VK_RETURN : step.arg(1) == "escape" ? VK_ESCAPE : 0;
    if (!key) fail("unknown key " + step.arg(1));
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    HWND target = w;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &thread) && thread.hwndFocus &&
        (thread.hwndFocus == w || IsChild(w, thread.hwndFocus)))
      target = thread.hwndFocus;
    // Posted, as typed keys are: the dialog's message loop handles them.
    UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    PostMessageW(target, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
  } else if (c == "enabled") {
    bool actual = IsWindowEnabled(control(step.arg(0), step.arg(1))) != FALSE;
    if (actual != yes(step.arg(2))) fail(actual ? "it is enabled" : "it is disabled");
  } else if (c == "checked") {
    DWORD_PTR state = 0;
    SendMessageTimeoutW(control(step.arg(0), step.arg(1)), BM_GETCHECK, 0, 0, SMTO_NORMAL, 20000,
                        &state);
    bool actual = state == BST_CHECKED;
    if (actual != yes(step.arg(2))) fail(actual ? "it is checked" : "it is not checked");
  } else if (c == "exists") {
    bool actual = GetDlgItem(window(step.arg(0)), std::atoi(step.arg(1).c_str())) != nullptr;
    if (actual != yes(step.arg(2))) fail(actual ? "the control exists" : "no such control");
  } else if (c == "progress") {
    DWORD_PTR position = 0;
    if (!SendMessageTimeoutW(control(step.arg(0), step.arg(1)), PBM_GETPOS, 0, 0, SMTO_NORMAL,
                             20000, &position))
      fail("the progress bar does not answer");
    if (static_cast<int>(position) != std::atoi(step.arg(2).c_str()))
      fail("the position is " + std::to_string(static_cast<int>(position)));
  } else if (c == "move") {
    if (!SetWindowPos(window(step.arg(0)), nullptr, std::atoi(step.arg(1).c_str()),
                      std::atoi(step.arg(2).c_str()), 0, 0,
                      SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE))
      fail("cannot move the window");
  } else if (c == "sync") {
    sync(window(step.arg(0)));
  } else if (c == "shot") {
    screenshot(window(step.arg(0)), step.arg(1));
  } else if (c == "fits") {
    HDC dc = GetDC(nullptr);
    const int pixels = -MulDiv(std::atoi(step.arg(2).c_str()), GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(nullptr, dc);
    HFONT font = CreateFontW(pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH, widen(step.arg(1)).c_str());
    if (!font) fail("no font " + step.arg(1));
    std::string problems;
    for (size_t i = 3; i < step.args.size(); ++i) {
      const std::string problem = overflow(control(step.arg(0), step.arg(i)), font);
      if (!problem.empty()) problems += " control " + step.arg(i) + ": " + problem + ";";
    }
    DeleteObject(font);
    if (!problems.empty()) fail("too small:" + problems);
  } else if (c == "dump") {
    EnumChildWindows(window(step.arg(0)), dumpControl, 0);
  } else if (c == "exit") {
    if (!process_) fail("no program started");
    // Any visible window of the program counts (a step without options).
    const Step anyWindow;
    const bool windowless = step.options.count("windows") && step.options.at("windows") == "none";
    const DWORD start = GetTickCount();
    const DWORD limit = static_cast<DWORD>(step.seconds(60) * 1000);
    DWORD wait;
    while ((wait = WaitForSingleObject(process_, windowless ? 20 : limit)) == WAIT_TIMEOUT &&
           GetTickCount() - start < limit) {
      if (findWindow(anyWindow)) fail("the program shows a window");
    }
    if (wait != WAIT_OBJECT_0) fail("the program is still running");
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    if (code != static_cast<DWORD>(std::atoi(step.arg(0).c_str())))
      fail("the exit code is " + std::to_string(code));
  } else if (c == "rebase") {
    rebaseImage(widen(step.arg(0)), widen(step.arg(1)),
                std::strtoull(step.arg(2).c_str(), nullptr, 16));
  } else if (c == "base") {
    if (!process_) fail("no program started");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid_);
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    if (snapshot == INVALID_HANDLE_VALUE || !Module32FirstW(snapshot, &module))
      fail("cannot list the program's modules");
    CloseHandle(snapshot);
    const unsigned long long base = reinterpret_cast<UINT_PTR>(module.modBaseAddr);
    if (base != std::strtoull(step.arg(0).c_str(), nullptr, 16)) {
      char text[24];
      std::snprintf(text, sizeof text, "%llX", base);
      fail(std::string("the image lies at ") + text);
    }
  } else if (c == "waitfile") {
    std::wstring path = widen(step.arg(0));
    if (!poll(step.seconds(30),
              [&] { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }))
      fail("the file did not appear");
  } else if (c == "noprocess") {
    std::wstring image = widen(step.arg(0));
    auto none = [&] {
      HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
      if (snapshot == INVALID_HANDLE_VALUE) fail("cannot list the processes");
      PROCESSENTRY32W entry = {};
      entry.dwSize = sizeof entry;
      bool running = false;
      for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
           more = Process32NextW(snapshot, &entry))
        running = lstrcmpiW(entry.szExeFile, image.c_str()) == 0;
      CloseHandle(snapshot);
      return !running;
    };
    if (!poll(step.seconds(30), none)) fail("the process is still running");
  } else {
    fail("unknown command " + c);
  }
}

std::vector<std::string> readLines(const char* source) {
  FILE* in = std::strcmp(source, "-") == 0 ? stdin : std::fopen(source, "rb");
  if (!in) {
    std::fprintf(stderr, "kasumiro-wine-driver: cannot read %s\n", source);
    std::exit(2);
  }
  std::vector<std::string> lines;
  std::string line;
  int ch;
  while ((ch = std::fgetc(in)) != EOF) {
    if (ch == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(ch);
    }
  }
  if (!line.empty()) lines.push_back(line);
  if (in != stdin) std::fclose(in);
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kasumiro-wine-driver SCRIPT|-\n");
    return 2;
  }
  std::vector<std::string> lines = readLines(argv[1]);
  std::string label = argv[1];
  size_t slash = label.find_last_of("\\/");
  if (slash != std::string::npos) label.erase(0, slash + 1);
  Driver driver;
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    std::printf("  [%s:%zu] %s\n", label.c_str(), n + 1, line.c_str() + first);
    std::fflush(stdout);
    try {
      std::vector<Word> words = splitLine(line);
      Step step;
      step.command = words[0].text;
      // "start" and "echo" take the rest of the line as it stands.
      if (step.command == "start" || step.command == "echo") {
        size_t at = line.find(step.command, first) + step.command.size();
        std::string rest = line.substr(at);
        size_t begin = rest.find_first_not_of(" \t");
        size_t end = rest.find_last_not_of(" \t\r");
        step.args.push_back(begin == std::string::npos ? "" : rest.substr(begin, end - begin + 1));
      } else {
        for (size_t i = 1; i < words.size(); ++i) {
          if (words[i].option)
            step.options[words[i].key] = words[i].value;
          else
            step.args.push_back(words[i].text);
        }
      }
      driver.run(step);
    } catch (const Failure& failure) {
      std::printf("FAIL [%s:%zu] %s\n  -> %s\n", label.c_str(), n + 1, line.c_str() + first,
                  failure.message.c_str());
      std::fflush(stdout);
      driver.endProgram();
      return 1;
    }
  }
  return 0;
}
