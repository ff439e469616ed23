#include "imageio/host_tables.h"

#include "imageio/host_services.h"

namespace {

template <typename Request>
void attach(Request *request) {
  request->state_store = io_StateStoreTable();
  request->meta_markup = io_MetaMarkupTable();
  request->host = io_HostTable();
  request->basic_image = io_BasicImageTable();
  request->basic_color = io_BasicColorTable();
  request->basic_utils = io_BasicUtilsTable();
}

}  // namespace

void io_AttachHostTables(FltLoadRequest *request) { attach(request); }
void io_AttachHostTables(FltSaveRequest *request) { attach(request); }
