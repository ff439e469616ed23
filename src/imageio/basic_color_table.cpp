#include "imageio/host_tables.h"

const pi_BasicColor *io_BasicColorTable() { return nullptr; }
