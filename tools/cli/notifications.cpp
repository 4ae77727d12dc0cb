#include "notifications.h"

namespace kestro::cli {

std::string notificationMeaning(uintptr_t w, intptr_t l) {
    switch (w) {
        case 1:
            if (l == 1) return "radiography exposure ended";
            if (l == 2) return "radiography exposure started";
            if (l == 3) return "radiography exposure state 2";
            break;
        case 2:
            if (l == 1) return "prepare released";
            if (l == 2) return "preparing";
            if (l == 3) return "ready to expose";
            break;
        case 3:
            if (l == 1) return "fluoroscopy prepare off";
            if (l == 2) return "fluoroscopy prepare on";
            break;
        case 4:
            if (l == 1) return "fluoroscopy off";
            if (l == 2) return "fluoroscopy on";
            break;
        case 5: return "error log entry " + std::to_string(l);
        case 6: return "generator error " + std::to_string(l);
        case 7: return "calibration entered";
        case 8: return "HMA reported";
        case 9: return "ready light lit";
        case 11: return "receptor " + std::to_string(l) + " selected";
        default: break;
    }
    return "unknown notification";
}

bool notificationCarriesError(uintptr_t w) { return w == 5 || w == 6; }

const char* startupMeaning(int r) {
    switch (r) {
        case 1: return "generator initialised";
        case 0: return "the port could not be closed or opened";
        case -1: return "a link thread could not be started";
        case -2: return "the generator did not answer the status command";
        case -5: return "the compatibility check was required and failed";
        default: return "unknown start-up result";
    }
}

const char* generatorStateMeaning(int s) {
    switch (s) {
        case 0: return "not started";
        case 1: return "starting";
        case 2: return "standby";
        case 3: return "preparing";
        case 4: return "exposing";
        case 10: return "ready to expose";
        case 11: return "exposure ended";
        case 12: return "fluoroscopy ended";
        case 13: return "fluoroscopy prepared";
        case 14: return "fluoroscopy";
        default: return "generator state";
    }
}

}  // namespace kestro::cli
