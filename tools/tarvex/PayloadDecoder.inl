#pragma once

#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>

#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace qara::nimb::tools {

template <class T>
PayloadDecoder<T>::PayloadDecoder(const PluginLibrary& plugin, const std::string& type)
    : m_deserialize(plugin.function<void(eprosima::fastcdr::Cdr&, Wire&)>(detail::cdrFunctionSymbol("deserialize", type, "RT_")))
{
}

template <class T>
void PayloadDecoder<T>::decode(const uint8_t* payload, std::size_t size, T& entity)
{
    // Fast CDR reads from a mutable buffer but does not write to it.
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(const_cast<uint8_t*>(payload)), size);
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, eprosima::fastcdr::CdrVersion::XCDRv2);
    try
    {
        // The header tells byte order and CDR version.
        cdr.read_encapsulation();
        m_deserialize(cdr, m_wire);
    }
    catch (const eprosima::fastcdr::exception::Exception& e)
    {
        throw std::runtime_error(std::string("payload does not decode: ") + e.what());
    }

    // Wire structure and interface list the same fields in the same order.
    struct Field
    {
        const char* name;
        const void* data;
    };
    std::vector<Field> fields;
    fields.reserve(Wire::fieldCount);
    m_wire.visitFields([&](const char* name, const auto& value) { fields.push_back({name, &value}); });
    std::size_t n = 0;
    entity.visitFields([&](const char* name, const auto& value, const auto& set) {
        using V = std::decay_t<decltype(value)>;
        const Field& field = fields.at(n++);
        if (std::strcmp(field.name, name) != 0)
        {
            throw std::logic_error(std::string("wire field ") + field.name + " where " + name + " was expected");
        }
        if constexpr (IsSharedVector<V>::value)
        {
            using E = std::remove_const_t<typename V::element_type>;
            shared_vector<E> copy(value.size());
            std::memcpy(copy.data(), field.data, value.size() * sizeof(E));
            set(freeze(std::move(copy)));
        }
        else
        {
            set(*static_cast<const V*>(field.data));
        }
    });
}

}  // namespace qara::nimb::tools
