// Data-packet exports: refreshing a packet of the settings image from the generator.

#include "api/export.h"
#include "data/model_data.h"

using namespace kestro;

KESTRO_EXPORT(int) IO_RefreshModelData(int packet, int param) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        return link ? refreshModelData(*link, packet, param) : 0;
    });
}
