// Tube backup and restore files are not part of this build yet. Until they are, an
// armed backup or restore is refused here, openly: no file is written or read, the
// trace says why, and the Tube Select read or write that asked for it fails without
// touching the image or the tube block. This file goes away when the tube files are
// built.

#include "link/comm_protocol.h"

namespace kestro {

int CCommProtocol::BackupTubeData(int, unsigned char*) {
    WriteTraceLine("Tube backup not written: tube files are not available in this build");
    return 0;
}

int CCommProtocol::RestoreTubeData(int, unsigned char*) {
    WriteTraceLine("Tube restore not read: tube files are not available in this build");
    return 0;
}

}  // namespace kestro
