// Switch between the fast (SSE2 and wide-load) and the plain paths of the
// kv5 hot loops. Both give the same bytes; the switch exists so that tests
// can check exactly that. It is process-wide and meant for tests only.
#pragma once

bool kv5_SimdEnabled();
void kv5_SetSimdEnabled(bool enabled);
