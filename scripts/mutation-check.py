#!/usr/bin/env python3
"""Applies small deliberate faults to the library one at a time and runs the suite against each.

A fault that no test notices is a hole in the suite. Each fault is a (file, original text, faulty text)
triple; the original must occur exactly once. The chosen tests run once unchanged first: a fault is caught
only when a test that passed then fails, and fails again when run once more. A fault that does not compile
and a skipped test catch nothing. Each fault's test output is kept (--output, by default
<build>/mutation-check). The tree is restored after every fault, also on Ctrl-C.

    scripts/mutation-check.py [--build build/release] [--only NAME ...] [--targets T ...] [--ctest-args ...]

--targets builds only those targets (the executables of the tests chosen with --ctest-args) after each fault.
"""

import argparse
import pathlib
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parent.parent

# name: (file, original, faulty)
FAULTS = {
    "deadline carry dropped": (
        "ps/internal/DdsBasePubSub.cpp",
        "limitSeconds += limitNanos / 1000000000;",
        "limitSeconds += 0;"),
    "deadline boundary flipped": (
        "ps/internal/DdsBasePubSub.cpp",
        "nowNanos >= limitNanos",
        "nowNanos > limitNanos"),
    "latency boundary flipped": (
        "ps/internal/DdsBasePubSub.cpp",
        "if (latencyMs < nowMs - sourceMs)",
        "if (latencyMs <= nowMs - sourceMs)"),
    "deadline period scaled": (
        "ps/internal/DdsBasePubSub.cpp",
        "static_cast<uint32_t>(deadlineMs % 1000))",
        "static_cast<uint32_t>(deadlineMs % 1000) * 1000000u)"),
    "wait-for-ack default changed": (
        "ps/DdsPublisher.inl",
        '"dds.wait_for_ack.timeout_ms", 5000)',
        '"dds.wait_for_ack.timeout_ms", 500)'),
    "last QoS entry no longer wins": (
        "ps/internal/DdsBasePubSub.inl",
        "            deadline = d->getDuration();",
        "            deadline = deadline == 0 ? d->getDuration() : deadline;"),
    "overlap check ignores instance states": (
        "ps/internal/SampleAcceptance.inl",
        "const bool states = a.instanceState == b.instanceState ||",
        "const bool states = true ||"),
    "retired handles still called": (
        "ps/SubscriptionManager.inl",
        "if (isRetired(subscription.id) || !m_acceptance.passesDeliveryTest(subscription.filter, info, sample))",
        "if (!m_acceptance.passesDeliveryTest(subscription.filter, info, sample))"),
    "dispatch keeps no owner": (
        "ps/SubscriptionManager.inl",
        "                owner = manager ? manager->owner() : nullptr;",
        "                owner = nullptr;\n                if (manager && manager->owner()) manager->dispatch();"),
    "topic holders not counted": (
        "ps/internal/DdsBasePubSub.cpp",
        "    ++found->second;",
        "    (void)found;"),
    "lingering reader never retried": (
        "ps/internal/ReaderResources.cpp",
        """reader->return_loan(samples, infos) : fastdds::kOk;
    if (m_closing.load())""",
        """reader->return_loan(samples, infos) : fastdds::kOk;
    if (false)"""),
    "decode failures not noted": (
        "generated/dds/DecodeFailures.cpp",
        "    n.samples[sample] = n.next++;",
        "    n.next++;"),
    "notifier sees invalid state filter": (
        "ps/internal/SampleAcceptance.inl",
        "            return instanceState == dds::ALIVE_INSTANCE_STATE;",
        "            return true;"),
    "DDS domain 232 refused": (
        "host/dds/src/DdsUriHelper.cpp",
        "domain > DdsUriHelper::maxDomainId)",
        "domain >= DdsUriHelper::maxDomainId)"),
    "plus in a URI query read as a space": (
        "host/src/Uri.cpp",
        "params(boost::urls::encoding_opts{})",
        "params()"),
    "property with trailing characters accepted": (
        "host/src/Properties.cpp",
        "if (ec != std::errc() || end != text.data() + text.size())",
        "if (ec != std::errc())"),
    "MCAP summary CRC without the footer": (
        "tools/mcap/src/Writer.cpp",
        "    summaryCrc = wire::crc32(summaryCrc, footer.bytes().data(), footer.bytes().size());\n",
        ""),
    "MCAP statistics under the chunk index opcode": (
        "tools/mcap/src/Writer.cpp",
        "group(Opcode::Statistics, std::vector<Statistics>{m_statistics});",
        "group(Opcode::ChunkIndex, std::vector<Statistics>{m_statistics});"),
    "MCAP cut file reported before its end": (
        "tools/mcap/src/Reader.cpp",
        "problem(m_size, ",
        "problem(m_size - 8, "),
    "shorter array view accepted": (
        "icd/dds/NoCopyFixedSequence.inl",
        "if (values.size() != N)",
        "if (values.size() > N)"),
    "slice bound off by one": (
        "utility/include/qara/nimb/shared_vector.inl",
        "count > this->m_count - offset)",
        "count > this->m_count - offset + 1)"),
    "wire fields of a run swapped": (
        "tools/idlgen/idlgen.py",
        'places.update((f.name, f"{name}[{k}]") for k, f in enumerate(run))',
        'places.update((f.name, f"{name}[{len(run) - 1 - k}]") for k, f in enumerate(run))'),
    "CDR version against the representation": (
        "generated/dds/TopicTypeSupport.inl",
        "return representation == eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION ?",
        "return representation != eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION ?"),
    "member crossing the body end off by one": (
        "generated/dds/CdrCodec.inl",
        "if (cdr.get_serialized_data_length() - bodyOffset > dheader)",
        "if (cdr.get_serialized_data_length() - bodyOffset >= dheader)"),
    "older version's last member not zeroed": (
        "generated/dds/CdrCodec.inl",
        "for (uint32_t missing = membersRead; missing < W::fieldCount; ++missing)",
        "for (uint32_t missing = membersRead + 1; missing < W::fieldCount; ++missing)"),
    "newer version's members not skipped": (
        "generated/dds/CdrCodec.inl",
        "!cdr.jump(dheader - W::delimitedBodySize))",
        "!cdr.jump(0))"),
    "XCDR2 body size without alignment": (
        "tools/idlgen/idlgen.py",
        """    size = 0
    for f in fields:
        size += (-size) % min(f.width, 4)
""",
        """    size = 0
    for f in fields:
"""),
    "maximum size without alignment": (
        "tools/idlgen/idlgen.py",
        "            size += (-size) % f.width\n",
        ""),
    "disjoint instance events overlap": (
        "ps/internal/SampleAcceptance.inl",
        "events = b.instanceEvents.count(*it) != 0;",
        "events = b.instanceEvents.count(*it) == 0;"),
    "most recent value keeps two": (
        "ps/MrvDdsSubscriber.inl",
        "qos.history().depth = 1;",
        "qos.history().depth = 2;"),
    "source time truncated": (
        "ps/DdsPublisher.inl",
        "std::floor(timestamp)",
        "std::trunc(timestamp)"),
    "instance event view state flipped": (
        "ps/internal/SampleAcceptance.inl",
        "(event == InstanceEvent::CREATED && viewState == dds::NEW_VIEW_STATE)",
        "(event == InstanceEvent::CREATED && viewState == dds::NOT_NEW_VIEW_STATE)"),
    "loan not returned": (
        "ps/internal/ReaderResources.cpp",
        "reader != nullptr ? reader->return_loan(samples, infos) : fastdds::kOk;",
        "fastdds::kOk;"),
    "writer history keeps the last only": (
        "icd/qos/CodeQos.hpp",
        "    keepEverySample(qos);\n    qos.endpoint().history_memory_policy = kDynamicReserve;",
        "    keepEverySample(qos);\n    qos.history().kind = eprosima::fastdds::dds::KEEP_LAST_HISTORY_QOS;\n"
        "    qos.endpoint().history_memory_policy = kDynamicReserve;"),
    "replay ignores --restamp": (
        "tools/tarvex/Replay.cpp",
        "options.restamp ? wallSeconds() : message.sourceTime / 1e9",
        "message.sourceTime / 1e9"),
    "even number of rounds takes the upper middle": (
        "tools/core/Statistics.cpp",
        "    return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)) + upper) / 2;",
        "    return upper;"),
    "floats printed as the nearest double": (
        "tools/core/SampleText.hpp",
        "if constexpr (std::is_same_v<E, float>)",
        "if constexpr (false)"),
    "perf loses one sample too few": (
        "tools/core/Tally.cpp",
        "m_highest - m_counts.first + 1 - m_distinct",
        "m_highest - m_counts.first - m_distinct"),
    "perf counts a repeat as overtaken": (
        "tools/core/Tally.cpp",
        "                ++m_counts.duplicates;",
        "                ++m_counts.outOfOrder;"),
    "perf takes a later sample for an overtaken one": (
        "tools/core/Tally.cpp",
        "m_counts.outOfOrder += sequence < m_highest ? 1 : 0;",
        "m_counts.outOfOrder += sequence > m_highest ? 1 : 0;"),
    "perf counts past its limit": (
        "tools/core/Tally.cpp",
        "(m_limit != 0 && m_counts.received == m_limit)",
        "(m_limit != 0 && m_counts.received > m_limit)"),
    "perf's p90 is the median": (
        "tools/core/Statistics.cpp",
        "summary.p90 = rank(0.9);",
        "summary.p90 = rank(0.5);"),
    "ratio interval's upper end at the median": (
        "tools/core/Statistics.cpp",
        "medians[resamples * 975 / 1000 - 1]",
        "medians[resamples / 2]"),
    "sequence carried by a 32-bit field before a 64-bit one": (
        "tools/core/Fields.hpp",
        "integer && sizeof(E) == 8 && std::is_unsigned_v<E> ? 3",
        "integer && sizeof(E) == 8 && std::is_unsigned_v<E> ? 1"),
    "schema text without array bounds": (
        "tools/idlgen/idlgen.py",
        "{f.name}{f'[{f.length}]' if f.is_array else ''};",
        "{f.name};"),
    "schema named without its module": (
        "tools/core/Schema.hpp",
        'return {"tarvex::" + type, "omgidl"',
        'return {type, "omgidl"'),
    "recorder writes none as zstd": (
        "tools/core/McapRecording.cpp",
        'compression == "none" ? "" : compression',
        'compression == "none" ? "zstd" : compression'),
    "recorder ignores --prefix": (
        "tools/tarvex/Record.cpp",
        "pubSubUri(options.domain, options.prefix + \"/\" + type)",
        "pubSubUri(options.domain, \"tarvex/\" + type)"),
    "replay ignores --rate": (
        "tools/tarvex/Replay.cpp",
        "(message.receptionTime - *first) / 1e9 / options.rate",
        "(message.receptionTime - *first) / 1e9"),
    "replay's --loop plays once": (
        "tools/tarvex/Replay.cpp",
        "    } while (options.loop);",
        "    } while (false);"),
    "MCAP statistics end at the earliest message": (
        "tools/mcap/src/Wire.hpp",
        "statistics.messageEndTime = std::max(statistics.messageEndTime, message.logTime);",
        "statistics.messageEndTime = std::min(statistics.messageEndTime, message.logTime);"),
    "MCAP chunk index length without the record prefix": (
        "tools/mcap/src/Writer.cpp",
        "wire::indexOf(head, m_offset, kRecordPrefix + content.size());",
        "wire::indexOf(head, m_offset, content.size());"),
    "MCAP chunk read in file order, not log-time order": (
        "tools/mcap/src/Reader.cpp",
        "    std::sort(entries.begin(), entries.end());\n    return entries;",
        "    return entries;"),
    "foreign entity taken for ours": (
        "ps/DataEntityCreation.inl",
        "    if (impl == nullptr)\n    {\n        detail::throwForeignImplementation(logger);",
        "    if (impl == nullptr && false)\n    {\n        detail::throwForeignImplementation(logger);"),
    "array views own a control block": (
        "icd/dds/NoCopyFixedSequence.inl",
        "shared_vector<const E>(std::shared_ptr<const E>(std::shared_ptr<const E>(), m_array->data()), 0, N)",
        "shared_vector<const E>(std::shared_ptr<const E>(m_array->data(), [](const E*) {}), 0, N)"),
    "entity and sample allocated apart": (
        "ps/DataEntityCreation.inl",
        "    return detail::makeEntityWithSample<T, ST>(sample);",
        "    auto entity = std::make_shared<ST>();\n    *entity = sample;\n    return entity;"),
    "boolean octet bound off by one": (
        "generated/dds/CdrCodec.inl",
        "return octet > 1; }",
        "return octet > 2; }"),
    "boolean array octet 2 read as true": (
        "generated/dds/CdrCodec.inl",
        "flag = *octet == 1 || (*octet == 0 ? false : flag);",
        "flag = *octet != 0;"),
    "boolean array octet 2 read as false": (
        "generated/dds/CdrCodec.inl",
        "flag = *octet == 1 || (*octet == 0 ? false : flag);",
        "flag = *octet == 1;"),
    "MCAP message times swapped": (
        "tools/mcap/src/Wire.hpp",
        "message.logTime, message.publishTime",
        "message.publishTime, message.logTime"),
    "record compresses with lz4 by default": (
        "tools/tarvex/Record.cpp",
        'std::string compression = "zstd";',
        'std::string compression = "lz4";'),
    "DDS scheme without a kind accepted": (
        "host/dds/src/DdsUriHelper.cpp",
        "scheme.size() <= schemePrefix.size()",
        "scheme.size() < schemePrefix.size()"),
    "equal instance states seen as disjoint": (
        "ps/internal/SampleAcceptance.inl",
        "const bool states = a.instanceState == b.instanceState ||",
        "const bool states = a.instanceState != b.instanceState ||"),
    "update of a known instance reported as created": (
        "ps/internal/SampleAcceptance.inl",
        "    if (info.view_state == dds::NEW_VIEW_STATE)",
        "    if (info.view_state != dds::NEW_VIEW_STATE)"),
    "array view made one element in": (
        "icd/dds/NoCopyFixedSequence.inl",
        "std::shared_ptr<const E>(std::shared_ptr<const E>(), m_array->data()), 0, N)",
        "std::shared_ptr<const E>(std::shared_ptr<const E>(), m_array->data() + 1), 0, N)"),
    "numbers written as octets, without their alignment": (
        "generated/dds/CdrCodec.inl",
        "cdr.serialize_array(run, Kind::value);",
        "cdr.serialize_array(reinterpret_cast<const char*>(run), sizeof(*run) * Kind::value);"),
    "direct copies without alignment padding": (
        "generated/dds/CdrCodec.inl",
        "at += (alignment - at % alignment) % alignment;",
        "at += 0;"),
    "direct copies anchored at a narrower run": (
        "generated/dds/CdrCodec.inl",
        "anchored = alignment == widest;",
        "anchored = true;"),
    "direct read takes any boolean octet": (
        "generated/dds/CdrCodec.inl",
        "    if (!everyBooleanValid)",
        "    if (false)"),
    "kept listener entity pointed at the next sample": (
        "ps/SubscriptionManager.inl",
        "if (*spare != nullptr && spare->use_count() == 1)",
        "if (*spare != nullptr)"),
    "registration retired in a callback not counted": (
        "ps/SubscriptionManager.inl",
        "        m_retiredCount.store(m_retired.size(), std::memory_order_release);\n        return;",
        "        return;"),
    "listener's loan guard allocates": (
        "ps/SubscriptionManager.inl",
        "        BOOST_SCOPE_EXIT_ALL(this, &reader, &loan)",
        "        BOOST_SCOPE_EXIT_ALL(this, &reader, &loan, &samples)"),
    "a single QoS limit skips the clock": (
        "ps/internal/SampleAcceptance.inl",
        "((m_deadline <= 0 && m_latency <= 0) ||",
        "((m_deadline <= 0 || m_latency <= 0) ||"),
    "payload size of the other CDR version": (
        "generated/dds/TopicTypeSupport.inl",
        "? m_xcdr1Size : m_xcdr2Size;",
        "? m_xcdr2Size : m_xcdr1Size;"),
    "listener dispatch ends after one batch": (
        "ps/SubscriptionManager.inl",
        "full = m_takeLimit <= 0 || samples.length() >= m_takeLimit;",
        "full = false;"),
    "boolean octets 2 and 3 taken for valid": (
        "generated/dds/CdrCodec.inl",
        "return (high & 0xfefefefefefefefeull) == 0;",
        "return (high & 0xfcfcfcfcfcfcfcfcull) == 0;"),
    "plug-in code visible by default": (
        "entry/CMakeLists.txt",
        "nimb_plugin_code(nimb-dds-tarvex nimb-tarvex-types nimb-tarvex-cdr-common nimb-tarvex-ps-common)\n",
        ""),
    "a CDR function left hidden": (
        "tools/idlgen/idlgen.py",
        'f"NIMB_PLUGIN_EXPORT void serialize_key(Cdr& cdr, const {q}& data);"',
        'f"void serialize_key(Cdr& cdr, const {q}& data);"'),
    "topic type supports exported too": (
        "tools/idlgen/idlgen.py",
        """f"class {'' if s.topic else 'NIMB_PLUGIN_EXPORT '}{s.name}PubSubType""",
        """f"class NIMB_PLUGIN_EXPORT {s.name}PubSubType"""),
    "bridge data frames under opcode 2": (
        "tools/bridge/Protocol.hpp",
        "inline constexpr uint8_t kMessageData = 0x01;",
        "inline constexpr uint8_t kMessageData = 0x02;"),
    "bridge frames carry the channel, not the subscription": (
        "tools/bridge/Server.cpp",
        "messageData(subscription, sample.receptionTime",
        "messageData(static_cast<uint32_t>(channel) + 1, sample.receptionTime"),
    "bridge queue drops the newest": (
        "tools/bridge/ClientQueue.cpp",
        "        m_data.pop_front();\n        ++m_dropped;",
        "        m_data.pop_back();\n        ++m_dropped;"),
    "bridge drops without a warning": (
        "tools/bridge/ClientQueue.cpp",
        "            m_warningWaits = true;\n            m_messages.emplace_back();",
        "            m_warningWaits = true;"),
    "bridge answers bad input with silence": (
        "tools/bridge/Server.cpp",
        "                self->send(status(StatusLevel::Error, message));",
        "                (void)message;"),
    "bridge unsubscribe keeps the subscription": (
        "tools/bridge/Server.cpp",
        "if (m_subscriptions.erase(item.get<uint32_t>()) == 0)",
        "if (m_subscriptions.count(item.get<uint32_t>()) == 0)"),
    "bridge accepts a handshake without the subprotocol": (
        "tools/bridge/Server.cpp",
        "!offers(std::string(m_request[http::field::sec_websocket_protocol]), kSubprotocol)",
        "!offers(kSubprotocol, kSubprotocol)"),
    "bridge publishes what the client sent undecoded": (
        "tools/core/Endpoint.cpp",
        "        m_cdr.decode(data, size, m_wire);\n        copyWire(m_wire, *m_sample);",
        "        try { m_cdr.decode(data, size, m_wire); } catch (const std::exception&) {}\n        copyWire(m_wire, *m_sample);"),
    "bridge keeps quiet when a writer goes": (
        "tools/bridge/Server.cpp",
        "    m_writers[channel] = count;\n",
        ""),
    "readers accept the first CDR version only": (
        "icd/qos/CodeQos.hpp",
        """    qos.representation().m_value = {eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION,
                                    eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION};""",
        "    qos.representation().m_value = {eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION};"),
    "parked readers never released": (
        "ps/internal/Reentry.hpp",
        "if (detail::parkedCount.load(std::memory_order_acquire) != 0)",
        "if (false)"),
    "a nested notification delivers at once": (
        "ps/internal/DeliveryGate.hpp",
        """    if (m_busy)
    {
        return;
    }
    m_busy = true;""",
        "    m_busy = true;"),
    "close from a callback waits for the other delivery": (
        "ps/SubscriptionManager.inl",
        "    const bool wait = !internal::insideCallback();",
        "    const bool wait = true;"),
    "a handle closed in another subscriber's callback waits": (
        "ps/SubscriptionManager.inl",
        """    if (internal::insideCallback())
    {
        // The delivery holding this map's mutex""",
        """    if (isDeliveringOnThisThread())
    {
        // The delivery holding this map's mutex"""),
    "registration allowed in another subscriber's callback": (
        "ps/SubscriptionManager.inl",
        """    if (internal::insideCallback())
    {
        // Both mutexes are needed""",
        """    if (isDeliveringOnThisThread())
    {
        // Both mutexes are needed"""),
    "a publisher closed in its own write's callback goes at once": (
        "ps/DdsPublisher.inl",
        "    if (std::find(writing.begin(), writing.end(), this) != writing.end())\n    {\n        // Inside",
        "    if (false)\n    {\n        // Inside"),
    "poll allowed inside a callback": (
        "ps/DdsSubscriber.inl",
        "    if (internal::insideCallback())\n    {\n        // Its delivery",
        "    if (false)\n    {\n        // Its delivery"),
    "close does not wake a waiting read": (
        "ps/internal/ReaderResources.cpp",
        "    m_closed.set_trigger_value(true);\n",
        ""),
    "a wait woken by close goes on waiting": (
        "ps/internal/ReaderResources.cpp",
        """    const fastdds::ReturnCode code = m_set->waitSet.wait(m_set->active, timeout);
    if (m_resources.m_closing.load())""",
        """    const fastdds::ReturnCode code = m_set->waitSet.wait(m_set->active, timeout);
    if (false)"""),
    "the last read out leaves the reader": (
        "ps/internal/ReaderResources.cpp",
        "    if (m_resources.m_users.fetch_sub(1) == 1 && m_resources.m_closing.load())",
        "    if (m_resources.m_users.fetch_sub(1) == 1 && false)"),
    "read condition for unread samples only": (
        "ps/internal/ReaderResources.cpp",
        "            dds::ANY_SAMPLE_STATE, dds::ANY_VIEW_STATE, dds::ALIVE_INSTANCE_STATE);",
        "            dds::NOT_READ_SAMPLE_STATE, dds::ANY_VIEW_STATE, dds::ALIVE_INSTANCE_STATE);"),
    "instance publisher added to a closed parent": (
        "ps/internal/DdsBasePubSub.inl",
        "    if (m_instancePublishersClosed)",
        "    if (false)"),
    "poll batch size ignored": (
        "ps/DdsSubscriber.inl",
        "[&] { return detail::sampleCount(maxSamples); },",
        "[&] { return detail::sampleCount(0); },"),
    "most-recent-value delay not ended by close": (
        "ps/MrvDdsSubscriber.inl",
        "m_changed.wait_for(lock, timeout, [this] { return this->state() == internal::EntityState::Closed; })",
        "(m_changed.wait_for(lock, timeout, [] { return false; }), this->state() == internal::EntityState::Closed)"),
    "read test weighs the state of any filter": (
        "ps/internal/SampleAcceptance.inl",
        "    if (!filter.instance || sameInstance(filter, sample))\n    {\n        return true;",
        "    if (filter.instance && sameInstance(filter, sample))\n    {\n        return true;"),
    "decode failure notes unbounded": (
        "generated/dds/DecodeFailures.cpp",
        "        n.samples.erase(oldest);",
        "        (void)oldest;"),
    "writer deleted without waiting for acknowledgements": (
        "ps/internal/EntityHolders.hpp",
        "    if (timeoutMs <= 0)\n    {\n        return;",
        "    if (true)\n    {\n        return;"),
}


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, text=True, capture_output=True, **kwargs)


def run_tests(args, extra=()):
    """Runs the chosen tests; returns {name: (outcome, output)}, outcome passed, failed or skipped."""
    with tempfile.TemporaryDirectory() as work:
        junit = pathlib.Path(work) / "results.xml"
        run(["ctest", "--test-dir", args.build, "-j2", "--timeout", "120", "--output-junit", str(junit),
             *args.ctest_args, *extra])
        if not junit.exists():
            return {}
        results = {}
        for case in ET.parse(junit).getroot().iter("testcase"):
            output = "".join(case.itertext())
            status = case.get("status")
            skipped = status != "run" and status != "fail" or "[  SKIPPED ]" in output
            outcome = "skipped" if skipped else "passed" if status == "run" else "failed"
            results[case.get("name")] = (outcome, output)
        return results


def exactly(names):
    # Names of typed tests go on with "  # TypeParam = ..."; ctest's expressions know only the plain escapes.
    plain = (re.sub(r"([][.^$*+?(){}|\\])", r"\\\1", name.split("  #")[0]) for name in names)
    return ["-R", "^(" + "|".join(plain) + ")"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--only", nargs="*", default=None, help="names of the faults to try")
    parser.add_argument("--targets", nargs="*", default=[], help="build only these targets")
    parser.add_argument("--output", default=None, help="where each fault's test output is kept")
    parser.add_argument("--ctest-args", nargs=argparse.REMAINDER, default=["-E", "Soak"])
    args = parser.parse_args()
    output = pathlib.Path(args.output or ROOT / args.build / "mutation-check")
    output.mkdir(parents=True, exist_ok=True)

    build_command = ["cmake", "--build", args.build, "-j2"] + (["--target", *args.targets] if args.targets else [])
    chosen = {name: fault for name, fault in FAULTS.items() if not args.only or name in args.only}
    for name, (path, original, _) in chosen.items():
        if (ROOT / path).read_text().count(original) != 1:
            print(f"{name}: the original text is not in {path} exactly once", file=sys.stderr)
            return 2
    # A fault counts as caught only by a test that passed without it: first the selection unchanged.
    build = run(build_command)
    if build.returncode != 0:
        print(build.stdout + build.stderr, file=sys.stderr)
        return 2
    baseline = run_tests(args)
    passing = {test for test, (outcome, _) in baseline.items() if outcome == "passed"}
    print(f"unchanged: {len(passing)} of {len(baseline)} tests pass; skipped and failing ones catch nothing")
    if not passing:
        return 2

    caught_all = True
    for name, (path, original, faulty) in chosen.items():
        file = ROOT / path
        text = file.read_text()
        log = output / (re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-") + ".txt")
        try:
            file.write_text(text.replace(original, faulty))
            build = run(build_command)
            if build.returncode != 0:
                caught_all = False
                log.write_text(build.stdout + build.stderr)
                print(f"{name}: NOT CAUGHT (does not compile)")
                continue
            failed = sorted(t for t, (outcome, _) in run_tests(args).items() if outcome == "failed" and t in passing)
            # Once more, so that a test that fails by chance does not count.
            again = run_tests(args, exactly(failed)) if failed else {}
            confirmed = [t for t in failed if again.get(t, ("", ""))[0] == "failed"]
            log.write_text("".join(f"== {t}\n{again[t][1]}\n" for t in confirmed) or "no test failed twice\n")
            if confirmed:
                print(f"{name}: caught by {', '.join(confirmed[:4])}{' ...' if len(confirmed) > 4 else ''}")
            else:
                caught_all = False
                print(f"{name}: NOT CAUGHT")
        finally:
            file.write_text(text)
    run(build_command)
    print(f"test output of each fault: {output}")
    return 0 if caught_all else 1


if __name__ == "__main__":
    sys.exit(main())
