#include "dfu/dfu_engine.h"

// Placeholder until the DFU engine lands.
const char* dfu_take_message(dfu_handle* handle)
{
    const char* m = handle->message;
    handle->message = nullptr;
    return m;
}
char* dfu_info_text(dfu_handle* handle) { return handle->info; }
