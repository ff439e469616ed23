#include "kv5/kv5_reader.h"

// No native reader yet: the load pipeline goes on to the plug-ins.
int32_t kv5_Read(rx_LayerEntry *, LoadSaveOptions *, const char16_t *) { return 0; }
