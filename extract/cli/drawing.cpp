#include "extract/cli/drawing.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace velto {

DrawCurvesEntry LoadDrawing(std::string& problem) {
    // The program's own folder, never the working folder or a search path: what is loaded
    // comes with the program.
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        problem = "cannot find where velto-extract is: " + error.message();
        return nullptr;
    }
    const std::filesystem::path folder = self.parent_path();
    problem.clear();
    for (const std::filesystem::path& module :
         {folder / VELTO_DRAWING_MODULE,
          folder.parent_path() / VELTO_DRAWING_FOLDER / VELTO_DRAWING_MODULE}) {
        if (!std::filesystem::exists(module, error)) {
            continue;
        }
        // Loaded for good: Qt does not take well to being unloaded.
        void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            problem = ::dlerror();
            return nullptr;
        }
        auto entry = reinterpret_cast<DrawCurvesEntry>(::dlsym(handle, kDrawCurvesEntry));
        if (entry == nullptr) {
            problem = module.string() + " is not the drawing of this velto-extract";
        }
        return entry;
    }
    problem = "the drawing module " VELTO_DRAWING_MODULE
              " is neither beside velto-extract nor in " +
              (folder.parent_path() / VELTO_DRAWING_FOLDER).string();
    return nullptr;
}

}  // namespace velto
