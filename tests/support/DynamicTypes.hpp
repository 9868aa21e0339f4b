#pragma once

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastdds/dds/xtypes/dynamic_types/DynamicData.hpp>
#include <fastdds/dds/xtypes/dynamic_types/DynamicDataFactory.hpp>
#include <fastdds/dds/xtypes/dynamic_types/DynamicPubSubType.hpp>
#include <fastdds/dds/xtypes/dynamic_types/DynamicTypeBuilder.hpp>
#include <fastdds/dds/xtypes/dynamic_types/DynamicTypeBuilderFactory.hpp>
#include <fastdds/dds/xtypes/dynamic_types/MemberDescriptor.hpp>
#include <fastdds/dds/xtypes/dynamic_types/TypeDescriptor.hpp>

#include <array>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// Fast DDS's own dynamic types, described from a generated wire structure's fields: a peer that encodes and
// hashes keys with Fast DDS's code instead of ours.
namespace tarvex_test {

namespace xt = eprosima::fastdds::dds;

namespace detail {

// The kind of a primitive, and the setters of one value and of an array of them.
#define TARVEX_DYNAMIC_PRIMITIVE(Type, Kind, Name)                                               \
    inline xt::TypeKind kindOf(Type)                                                             \
    {                                                                                            \
        return xt::Kind;                                                                         \
    }                                                                                            \
    inline xt::ReturnCode_t set(xt::DynamicData& d, xt::MemberId id, Type v)                     \
    {                                                                                            \
        return d.set_##Name##_value(id, v);                                                      \
    }                                                                                            \
    inline xt::ReturnCode_t set(xt::DynamicData& d, xt::MemberId id, const std::vector<Type>& v) \
    {                                                                                            \
        return d.set_##Name##_values(id, v);                                                     \
    }
TARVEX_DYNAMIC_PRIMITIVE(bool, TK_BOOLEAN, boolean)
TARVEX_DYNAMIC_PRIMITIVE(uint8_t, TK_BYTE, byte)
TARVEX_DYNAMIC_PRIMITIVE(int16_t, TK_INT16, int16)
TARVEX_DYNAMIC_PRIMITIVE(uint16_t, TK_UINT16, uint16)
TARVEX_DYNAMIC_PRIMITIVE(int32_t, TK_INT32, int32)
TARVEX_DYNAMIC_PRIMITIVE(uint32_t, TK_UINT32, uint32)
TARVEX_DYNAMIC_PRIMITIVE(int64_t, TK_INT64, int64)
TARVEX_DYNAMIC_PRIMITIVE(uint64_t, TK_UINT64, uint64)
TARVEX_DYNAMIC_PRIMITIVE(float, TK_FLOAT32, float32)
TARVEX_DYNAMIC_PRIMITIVE(double, TK_FLOAT64, float64)
#undef TARVEX_DYNAMIC_PRIMITIVE

template <class F>
struct Shape
{
    using Element = F;
    static constexpr uint32_t length = 0;
};

template <class E, std::size_t N>
struct Shape<std::array<E, N>>
{
    using Element = E;
    static constexpr uint32_t length = N;
};

}  // namespace detail

// The appendable structure `name` with the first `members` fields of W, marked as keys where W's are, then
// `extraInt32s` members of type int32 that W does not know: an older or a newer version of W's type.
template <class W>
xt::DynamicType::_ref_type dynamicTypeOf(const std::string& name, std::size_t members, std::size_t extraInt32s = 0)
{
    auto* factory = xt::DynamicTypeBuilderFactory::get_instance().get();
    xt::TypeDescriptor::_ref_type descriptor{xt::traits<xt::TypeDescriptor>::make_shared()};
    descriptor->kind(xt::TK_STRUCTURE);
    descriptor->name(name);
    descriptor->extensibility_kind(xt::ExtensibilityKind::APPENDABLE);
    xt::DynamicTypeBuilder::_ref_type builder = factory->create_type(descriptor);

    std::set<std::string> keys;
    W().visitKeyFields([&keys](const char* field, const auto&) { keys.insert(field); });

    const auto add = [&](const std::string& field, xt::DynamicType::_ref_type type) {
        xt::MemberDescriptor::_ref_type member{xt::traits<xt::MemberDescriptor>::make_shared()};
        member->name(field);
        member->type(type);
        member->is_key(keys.count(field) != 0);
        if (builder->add_member(member) != xt::RETCODE_OK)
        {
            throw std::runtime_error("dynamic type: cannot add " + field);
        }
    };
    std::size_t index = 0;
    W().visitFields([&](const char* field, const auto& value) {
        using S = detail::Shape<std::decay_t<decltype(value)>>;
        if (index++ >= members)
        {
            return;
        }
        xt::DynamicType::_ref_type element = factory->get_primitive_type(detail::kindOf(typename S::Element{}));
        add(field, S::length == 0 ? element : factory->create_array_type(element, {S::length})->build());
    });
    for (std::size_t extra = 0; extra < extraInt32s; ++extra)
    {
        add("newer_" + std::to_string(extra), factory->get_primitive_type(xt::TK_INT32));
    }
    return builder->build();
}

// Dynamic data of `type` holding the values of `sample`'s fields that the type has, and `extraValue` in
// the members it has beyond them.
template <class W>
xt::DynamicData::_ref_type dynamicDataOf(const xt::DynamicType::_ref_type& type, const W& sample,
                                         int32_t extraValue = 0)
{
    xt::DynamicData::_ref_type data = xt::DynamicDataFactory::get_instance()->create_data(type);
    const uint32_t members = type->get_member_count();
    uint32_t index = 0;
    sample.visitFields([&](const char* field, const auto& value) {
        using F = std::decay_t<decltype(value)>;
        if (index++ >= members)
        {
            return;
        }
        const xt::MemberId id = data->get_member_id_by_name(field);
        xt::ReturnCode_t code;
        if constexpr (detail::Shape<F>::length == 0)
        {
            code = detail::set(*data, id, value);
        }
        else
        {
            code = detail::set(*data, id, std::vector<typename F::value_type>(value.begin(), value.end()));
        }
        if (code != xt::RETCODE_OK)
        {
            throw std::runtime_error(std::string("dynamic data: cannot set ") + field);
        }
    });
    for (uint32_t extra = 0; index + extra < members; ++extra)
    {
        detail::set(*data, data->get_member_id_by_name("newer_" + std::to_string(extra)), extraValue);
    }
    return data;
}

// A writer of a dynamic type on a participant of its own, with reliable, transient-local QoS and one data
// representation.
class DynamicWriter
{
public:
    DynamicWriter(uint32_t domain, const std::string& topicName, const xt::DynamicType::_ref_type& type,
                  xt::DataRepresentationId_t representation)
    {
        m_participant = xt::DomainParticipantFactory::get_instance()->create_participant(
            static_cast<xt::DomainId_t>(domain), xt::PARTICIPANT_QOS_DEFAULT);
        if (m_participant == nullptr)
        {
            throw std::runtime_error("dynamic writer: no participant");
        }
        xt::TypeSupport support(new xt::DynamicPubSubType(type));
        support.register_type(m_participant);
        auto* topic = m_participant->create_topic(topicName, support.get_type_name(), xt::TOPIC_QOS_DEFAULT);
        xt::DataWriterQos qos = xt::DATAWRITER_QOS_DEFAULT;
        qos.reliability().kind = xt::RELIABLE_RELIABILITY_QOS;
        qos.durability().kind = xt::TRANSIENT_LOCAL_DURABILITY_QOS;
        qos.representation().m_value = {representation};
        m_writer = m_participant->create_publisher(xt::PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, qos);
        if (m_writer == nullptr)
        {
            throw std::runtime_error("dynamic writer: no writer");
        }
    }

    ~DynamicWriter()
    {
        m_participant->delete_contained_entities();
        xt::DomainParticipantFactory::get_instance()->delete_participant(m_participant);
    }

    DynamicWriter(const DynamicWriter&) = delete;
    DynamicWriter& operator=(const DynamicWriter&) = delete;

    xt::DataWriter& writer() { return *m_writer; }

private:
    xt::DomainParticipant* m_participant = nullptr;
    xt::DataWriter* m_writer = nullptr;
};

}  // namespace tarvex_test
