// A stand-in for the video server in the pipe tests: connects to the pipe
// named in double quotes on its command line, answers one request (a 4-byte
// length and that many bytes) with the bytes reversed followed by "end",
// then waits for the pipe to close. Exit code 0 when it closed as expected,
// 2 when the connection was refused or broke before the request.
#include <windows.h>

#include <string>

namespace {

bool moveAll(HANDLE pipe, void *data, DWORD size, bool write) {
  auto *bytes = static_cast<char *>(data);
  while (size > 0) {
    DWORD count = 0;
    if (!(write ? WriteFile(pipe, bytes, size, &count, nullptr) : ReadFile(pipe, bytes, size, &count, nullptr))) return false;
    bytes += count;
    size -= count;
  }
  return true;
}

}  // namespace

int main() {
  std::wstring line = GetCommandLineW();
  size_t open = line.find(L'"'), close = line.find(L'"', open + 1);
  if (open == std::wstring::npos || close == std::wstring::npos) return 1;
  std::wstring name = L"\\\\.\\pipe\\" + line.substr(open + 1, close - open - 1);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 100 && pipe == INVALID_HANDLE_VALUE; ++tries) {
    pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(50);
  }
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  uint32_t size = 0;
  if (!moveAll(pipe, &size, 4, false) || size > 1 << 20) return 2;
  std::string request(size, '\0');
  if (!moveAll(pipe, request.data(), size, false)) return 2;
  std::string answer(request.rbegin(), request.rend());
  answer += "end";
  if (!moveAll(pipe, answer.data(), static_cast<DWORD>(answer.size()), true)) return 2;
  char extra = 0;
  return moveAll(pipe, &extra, 1, false) ? 3 : 0;
}
