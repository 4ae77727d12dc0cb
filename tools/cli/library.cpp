#include "library.h"

#include <dlfcn.h>

#include <filesystem>

namespace kestro::cli {

namespace {

template <typename F>
bool bind(void* handle, F& fn, const char* name, bool required, std::string* missing) {
    fn = reinterpret_cast<F>(::dlsym(handle, name));
    if (!fn && required && missing) *missing += std::string(missing->empty() ? "" : ", ") + name;
    return fn || !required;
}

}  // namespace

void* Api::symbol(const char* name) const { return handle ? ::dlsym(handle, name) : nullptr; }

bool loadApi(Api& api, const std::string& path, std::string* error) {
    api.path = path;
    api.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!api.handle) {
        if (error) *error = "cannot load " + path + ": " + ::dlerror();
        return false;
    }
    void* h = api.handle;
    std::string missing;
    bool ok = bind(h, api.createWindow, "KestroCreateMessageWindow", true, &missing);
    ok = bind(h, api.getMessage, "KestroGetMessage", true, &missing) && ok;
    ok = bind(h, api.destroyWindow, "KestroDestroyMessageWindow", true, &missing) && ok;
    ok = bind(h, api.initGenerator, "IO_InitGenerator", true, &missing) && ok;
    ok = bind(h, api.closeComm, "IO_CloseComm", true, &missing) && ok;
    ok = bind(h, api.deleteRes, "IO_DeleteRes", true, &missing) && ok;
    ok = bind(h, api.modelPointer, "IO_GetModelPointerByte", true, &missing) && ok;
    ok = bind(h, api.setDemoMode, "IO_SetDemoMode", true, &missing) && ok;
    ok = bind(h, api.commState, "IO_GetCommState", true, &missing) && ok;
    ok = bind(h, api.errorMessage, "IO_GetErrorMessage", true, &missing) && ok;
    bind(h, api.radKV, "IO_RadKVValue", false, nullptr);
    bind(h, api.radMA, "IO_RadMAValue", false, nullptr);
    bind(h, api.radMS, "IO_RadMSValue", false, nullptr);
    bind(h, api.radMX, "IO_RadMXValue", false, nullptr);
    bind(h, api.setDllMode, "IO_SetDllMode", false, nullptr);
    bind(h, api.stValue, "IO_GetSTValue", false, nullptr);
    bind(h, api.fluoKV, "IO_FluoKVValue", false, nullptr);
    bind(h, api.fluoMA, "IO_FluoMAValue", false, nullptr);
    bind(h, api.fluoPPS, "IO_FluoPPSValue", false, nullptr);
    bind(h, api.accTimer, "IO_FluoGetAccTimer", false, nullptr);
    bind(h, api.intTimer, "IO_FluoGetIntTimer", false, nullptr);
    bind(h, api.anodeHeat, "IO_GetAnodeTubeHeat", false, nullptr);
    bind(h, api.housingHeat, "IO_GetHousingTubeHeat", false, nullptr);
    bind(h, api.postMAS, "IO_GetPostMASValue", false, nullptr);
    bind(h, api.postTime, "IO_GetPostTIMEValue", false, nullptr);
    bind(h, api.genKW, "IO_GetGenKW", false, nullptr);
    bind(h, api.calibParameters, "IO_CalibGetParameters", false, nullptr);
    bind(h, api.calibMA, "IO_CalibGetMA", false, nullptr);
    bind(h, api.calibFilament, "IO_CalibGetFilament", false, nullptr);
    bind(h, api.calibKV, "IO_CalibGetKV", false, nullptr);
    bind(h, api.aecDensity, "IO_RadAECDens", false, nullptr);
    if (!ok && error) *error = path + " has no export " + missing;
    return ok;
}

std::string defaultLibrary() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
#if defined(KESTRO_BUILD_TREE_LIBRARY) && defined(KESTRO_BUILD_TREE_TOOL_DIR)
    // Only the tool in the build tree uses the build tree's library; an installed copy
    // never reaches back into a build directory.
    if (!ec && self.parent_path() == fs::path(KESTRO_BUILD_TREE_TOOL_DIR) && fs::exists(KESTRO_BUILD_TREE_LIBRARY, ec))
        return KESTRO_BUILD_TREE_LIBRARY;
#endif
    // An installed tree: bin/kestro beside lib/libkestro.so.0.
    if (!ec) {
        for (const char* lib : {"lib", "lib64", KESTRO_INSTALL_LIBDIR}) {
            const fs::path candidate = self.parent_path() / ".." / lib / "libkestro.so.0";
            if (fs::exists(candidate, ec)) return fs::weakly_canonical(candidate, ec).string();
        }
    }
    return "libkestro.so.0";  // the system's search path
}

}  // namespace kestro::cli
