#pragma once

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>
#include <qara/nimb/ps/Publisher.hpp>
#include <qara/nimb/ps/qos/QoS.hpp>

#include <memory>
#include <string>
#include <vector>

namespace tarvex_test {

// The built plug-in, loaded the way a host loads it: by file name, functions found by name.
qara::nimb::PluginLibrary& plugin();

template <class T>
using PublisherEntry = qara::nimb::ps::Publisher<T>*(const std::shared_ptr<qara::nimb::Nimb>&, const qara::nimb::Uri&,
                                                     const std::vector<std::shared_ptr<qara::nimb::ps::qos::QoS>>&,
                                                     const qara::nimb::Nimb::Properties&);

template <class T>
using DataEntityEntry = T*();

// generated_dds_<kind>_tarvex_<type>
std::string entryName(const std::string& kind, const std::string& type);

// A topic URI on `domain` that no other test uses: the test's name and the process id are in it.
std::string uniqueUri(uint32_t domain, const std::string& topic);

}  // namespace tarvex_test
