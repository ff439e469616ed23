#include "kv5/kv5_context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void kv5_ContextInit(kv5_Context *context) { std::memset(context, 0, sizeof(*context)); }

size_t kv5_MessageLength(const kv5_Context *context) {
  size_t length = 0;
  while (length < kv5_MessageCapacity && context->messages[length] != 0) ++length;
  return length;
}

void kv5_AppendMessage(kv5_Context *context, const char *text) {
  if (context == nullptr || text == nullptr) return;
  size_t at = kv5_MessageLength(context);
  if (at >= kv5_MessageCapacity) at = kv5_MessageCapacity - 1;  // repair a full, unterminated buffer
  while (*text != 0 && at + 1 < kv5_MessageCapacity) {
    context->messages[at++] = static_cast<unsigned char>(*text++);
  }
  context->messages[at] = 0;
}

void kv5_AppendMessageF(kv5_Context *context, const char *format, ...) {
  char text[kv5_MessageCapacity];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  kv5_AppendMessage(context, text);
}

int kv5_ReportProgress(kv5_Context *context, int32_t value) {
  if (context == nullptr || context->progress == nullptr) return 1;
  context->progressValue = value;
  if (context->progress(value, kv5_ProgressTotal, context->progressContext) != 0) return 1;
  kv5_AppendMessage(context, kv5_CancelledText);
  context->errorFlags = 0;
  context->cancelled = true;
  return 0;
}
