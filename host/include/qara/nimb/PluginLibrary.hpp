#pragma once

#include <dlfcn.h>

#include <string>

namespace qara::nimb {

// Owns one dlopen handle.
class PluginLibrary
{
public:
    explicit PluginLibrary(const std::string& path, int flags = RTLD_NOW | RTLD_LOCAL);
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
