#pragma once

namespace qara::nimb {

template <class F>
F* PluginLibrary::function(const std::string& name) const
{
    return reinterpret_cast<F*>(symbol(name));
}

}  // namespace qara::nimb
