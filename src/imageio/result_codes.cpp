#include "imageio/result_codes.h"

#include <string>
#include <string_view>

#include "platform/os.h"

namespace {

struct CodeText {
  int32_t code;
  const char16_t *text;
};

constexpr CodeText kCodeTexts[] = {
    {1, u"Success: The operation completed successfully"},
    {0, u"Error: An unknown error occurred"},
    {-2, u"Error: The file format is supported but the requested feature is not implemented"},
    {-3, u"Error: Cannot find any image data in the specified source"},
    {-4, u"Error: A component required by this plug-in was not found"},
    {-5, u"Error: A component required by this plug-in encountered an error"},
    {-6, u"Error: The system requirements of this plug-in have not been met"},
    {-7, u"Error: An I/O device error occurred"},
    {-8, u"Error: An I/O network error occurred"},
    {-9, u"Error: The format of the request is invalid"},
    {-10, u"Error: This plug-in requires services not provided by the host"},
    {-11, u"Error: One or more parameters are out of range for this plug-in"},
    {-12, u"Error: The image does not meet this plug-in's requirements"},
    {-13, u"Error: The image has dimensions that are not supported"},
    {-14, u"Error: The current image-mode is invalid for the selected destination"},
    {-15, u"Error: This plug-in requires a flattened single-layer image"},
    {-16, u"Error: Unexpected response from the host"},
    {-17, u"Error: The request could not be interpreted"},
    {-18, u"Error: The plug-in is not configured correctly"},
    {-20, u"Error: The system ran out of RAM while servicing the request"},
    {-23, u"Error: Unexpected end of data, data might be incomplete"},
    {-24, u"Error: Invalid or incorrect encoded data found"},
    {-25, u"Error: The system was unable to service a bitmap request"},
    {-26, u"Error: The requested bitmap size is zero"},
    {-27, u"Error: The requested bitmap size is too big"},
    {-30, u"Error: An internal error occurred (Unknown)"},
    {-31, u"Error: An internal error occurred (#1)"},
    {-32, u"Error: An internal error occurred (#2)"},
    {-33, u"Error: An internal error occurred (#3)"},
    {-34, u"Error: An internal error occurred (#4)"},
    {-40, u"Error: Cannot open the file for reading, please check access"},
    {-41, u"Error: Cannot open the file for writing, please check access"},
    {-42, u"Error: Cannot read data from the file, file may be incomplete"},
    {-43, u"Error: Cannot write data to the file, check disk space"},
    {-44, u"Error: Invalid data was found while processing the file"},
    {-45, u"Error: Cannot read file information, file may have access restrictions"},
    {-50, u"Error: A data protection fault was detected"},
    {-51, u"Error: Critical components are either missing or damaged; please reinstall"},
    {-70, u"Error: Access denied"},
    {-71, u"Error: You have insufficient credit in your account"},
    {-72, u"Error: You have exceeded your usage limit"},
    {-90, u"Error: The file is a known format that is not an image file"},
    {-96, u"Password Required: This image is password protected"},
    {-98, u"Expired: The operation timed out"},
    {-99, u"Cancelled: The operation was cancelled by the user"},
};

constexpr const char16_t *kItemsText = u"Success: Operation completed successfully for %i items";
constexpr const char16_t *kUnknownText = u"Error: An unknown error occurred";

constexpr const char16_t *kNonImageExtensions[] = {u".db",  u".ini", u".inf", u".bat", u".zip", u".rar",
                                                   u".7z",  u".mp3", u".wma", u".txt", u".rtf"};

struct WarningLine {
  const char16_t *line;
  const char16_t *title;
  uint32_t maskBit;
};

// Indexed by LoadWarning: the order of the notice's lines.
constexpr WarningLine kWarningLines[kWarningCount] = {
    {u"Layers beyond the set limit were dropped", u"Incomplete Data", 0x001},
    {u"Unknown or invalid layer-types were found", u"Incomplete Data", 0x002},
    {u"Unknown or invalid blend-modes were found", u"Incomplete Data", 0x004},
    {u"Some image data was not transferred correctly", u"Incomplete Data", 0x008},
    {u"Transparency information was removed from the image", u"Incomplete Data", 0x010},
    {u"Thumbnail only, the rest of the image was not loaded", u"Thumbnail Only", 0x020},
    {u"Operation was interrupted due to a timeout", u"Timeout", 0x100},
    {u"A non-stardard extension was used in the file", u"Non-standard", 0x080},
    {u"The image was automatically resized to usable dimensions", u"Resized", 0x040},
    {u"The file extension does not match the file contents", u"File Extension Mismatch", 0x200},
    {u"The file name not does not include a file extension", u"File Extension Missing", 0x400},
};

char16_t foldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldCase(a[i]) != foldCase(b[i])) return false;
  return true;
}

bool hasNonImageExtension(const char16_t *path) {
  std::u16string_view text(path != nullptr ? path : u"");
  size_t dot = text.rfind(u'.');
  if (dot == std::u16string_view::npos) return false;
  for (const char16_t *extension : kNonImageExtensions)
    if (equalsIgnoringCase(text.substr(dot), extension)) return true;
  return false;
}

// Appends `text` to the zero-terminated `out` of `capacity` units, cutting
// what does not fit; `*length` follows the terminator.
void appendBounded(char16_t *out, size_t capacity, size_t *length, std::u16string_view text) {
  for (char16_t c : text) {
    if (*length + 1 >= capacity) break;
    out[(*length)++] = c;
  }
  out[*length] = 0;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Collapses runs of `c` into one.
void collapseRuns(std::u16string *text, char16_t c) {
  std::u16string out;
  out.reserve(text->size());
  for (char16_t ch : *text)
    if (!(ch == c && !out.empty() && out.back() == c)) out += ch;
  *text = std::move(out);
}

void trimWhiteSpace(std::u16string *text) {
  size_t begin = 0, end = text->size();
  while (begin < end && isBlank((*text)[begin])) ++begin;
  while (end > begin && isBlank((*text)[end - 1])) --end;
  *text = text->substr(begin, end - begin);
}

void copyBounded(const std::u16string &text, char16_t *out, size_t capacity) {
  size_t length = 0;
  out[0] = 0;
  appendBounded(out, capacity, &length, text);
}

}  // namespace

const char16_t *io_ResultText(int32_t code, int32_t sub_code, const char16_t *path) {
  if (code >= 2) return kItemsText;
  if (code == -1) {
    switch (sub_code) {
      case kSubCodeNoAbout: return u"This plug-in does not have an About dialog box";
      case kSubCodeNoConfiguration: return u"This plug-in does not require configuration";
      case kSubCodeNoHelp: return u"This plug-in does not have Help documentation";
      case kSubCodeLoad:
        return hasNonImageExtension(path) ? u"Error: The file is not a recognized image file format"
                                          : u"Error: The file is either corrupted or the file format is not supported";
      case kSubCodeSave: return u"Error: Saving to this file format is not supported";
      case kSubCodeOperation: return u"Error: This operation is not supported for this file format";
      default: return u"Error: This operation is not supported";
    }
  }
  for (const CodeText &entry : kCodeTexts)
    if (entry.code == code) return entry.text;
  return kUnknownText;
}

size_t io_ComposeMessage(int32_t code, int32_t sub_code, const char16_t *path, const char16_t *module_path,
                         const char16_t *hint, char16_t *out) {
  if (out == nullptr) return 0;
  std::u16string base = io_ResultText(code, sub_code, path);
  if (code >= 2) {
    size_t at = base.find(u"%i");
    std::string number = std::to_string(code);
    base.replace(at, 2, std::u16string(number.begin(), number.end()));
  }
  size_t length = 0;
  out[0] = 0;
  appendBounded(out, kMessageCapacity, &length, base);
  if (hint != nullptr && hint[0] != 0 && length < kMessageCapacity) {
    appendBounded(out, kMessageCapacity, &length, u"\n\nHint:\n");
    appendBounded(out, kMessageCapacity, &length, hint);
  }
  std::u16string_view module(module_path != nullptr ? module_path : u"");
  if (module.size() > 2 && length < kMessageCapacity) {
    size_t cut = module.find_last_of(u"\\/");
    std::u16string_view name = cut == std::u16string_view::npos ? module : module.substr(cut + 1);
    appendBounded(out, kMessageCapacity, &length, u"\n\nReporting Module: ");
    appendBounded(out, kMessageCapacity, &length, name);
  }
  return length;
}

bool io_IsFinalCode(int32_t code, LoadSaveOptions *options) {
  switch (code) {
    case -99: options->cancelled = 1; return true;
    case -98: options->warnings[kWarnTimeout] = 1; return true;
    case -96: options->passwordRequired = 1; return true;
    case -90: options->notAnImage = 1; return true;
    default: return false;
  }
}

void io_ApplyWarningMask(uint32_t mask, LoadSaveOptions *options) {
  for (int i = 0; i < kWarningCount; ++i)
    if (mask & kWarningLines[i].maskBit) options->warnings[i] = 1;
}

bool io_BuildWarningText(const LoadSaveOptions *options, char16_t *text, char16_t *title) {
  std::u16string body, collected;
  for (int i = 0; i < kWarningCount; ++i) {
    if (!options->warnings[i]) continue;
    body += u'\n';
    body += kWarningLines[i].line;
    body += u'\n';
    if (body.size() > kWarningTextCapacity - 1) body.resize(kWarningTextCapacity - 1);
    collapseRuns(&body, u'\n');
    trimWhiteSpace(&collected);
    collected = collected.empty() ? kWarningLines[i].title : u"Multiple Issues";
  }
  collapseRuns(&body, u'\n');
  collapseRuns(&body, u' ');
  trimWhiteSpace(&body);
  if (text != nullptr) copyBounded(body, text, kWarningTextCapacity);
  if (body.empty()) {
    if (title != nullptr) title[0] = 0;
    return false;
  }
  if (title != nullptr) {
    for (char16_t &c : collected)
      if (c == u'\n') c = u' ';
    collapseRuns(&collected, u' ');
    trimWhiteSpace(&collected);
    copyBounded(u"Warning: " + collected, title, kWarningTitleCapacity);
  }
  return true;
}

bool io_ShowWarningNotice(const LoadSaveOptions *options) {
  if (options->quiet) return false;
  char16_t text[kWarningTextCapacity];
  char16_t title[kWarningTitleCapacity];
  if (!io_BuildWarningText(options, text, title)) return false;
  constexpr uint32_t kExclamationOk = os_NoticeOk | os_NoticeIconWarning;  // 48
  os_ShowNotice(options->ownerWindow, text, title, kExclamationOk);
  return true;
}
