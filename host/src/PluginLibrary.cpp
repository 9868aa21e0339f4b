#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/PluginLibrary.hpp>

#include <utility>

namespace qara::nimb {

PluginLibrary::PluginLibrary(const std::string& path, int flags) : m_path(path), m_handle(dlopen(path.c_str(), flags))
{
    if (m_handle == nullptr)
    {
        throw NimbException("Cannot load plug-in " + path + ": " + dlerror());
    }
}

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : m_path(std::move(other.m_path)), m_handle(std::exchange(other.m_handle, nullptr))
{
}

PluginLibrary& PluginLibrary::operator=(PluginLibrary&& other) noexcept
{
    if (this != &other)
    {
        if (m_handle != nullptr)
        {
            dlclose(m_handle);
        }
        m_path = std::move(other.m_path);
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

PluginLibrary::~PluginLibrary()
{
    if (m_handle != nullptr)
    {
        dlclose(m_handle);
    }
}

void* PluginLibrary::symbol(const std::string& name) const
{
    void* address = m_handle != nullptr ? dlsym(m_handle, name.c_str()) : nullptr;
    if (address == nullptr)
    {
        throw NimbException("Plug-in " + m_path + " has no function " + name);
    }
    return address;
}

const std::string& PluginLibrary::path() const
{
    return m_path;
}

}  // namespace qara::nimb
