#pragma once

#include <dlfcn.h>

#include <string>

namespace qara::nimb {

// Owns one dlopen handle. By default the code stays mapped once the handle is closed: the type supports a
// plug-in registers live in participants the host shares, and Fast DDS's threads call them until the last
// participant is gone, which may be after the plug-in's handle.
class PluginLibrary
{
public:
    explicit PluginLibrary(const std::string& path, int flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    PluginLibrary(PluginLibrary&& other) noexcept;
    PluginLibrary& operator=(PluginLibrary&& other) noexcept;
    ~PluginLibrary();

    void* symbol(const std::string& name) const;
    template <class F>
    F* function(const std::string& name) const;
    const std::string& path() const;

private:
    std::string m_path;
    void* m_handle;
};

}  // namespace qara::nimb

#include "PluginLibrary.inl"
