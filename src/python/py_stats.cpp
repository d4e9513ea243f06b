#include "python/py_stats.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "python/method.h"

namespace qorva::python {
namespace {

// Every read takes a shared borrow. Nothing ever borrows these objects
// exclusively, so the borrow cannot be refused; it is taken all the same so
// that these classes follow the rule every class of the module follows.
template <std::uint64_t TopicStats::*Field>
constexpr auto kTopicField = Method{Borrow::Shared, Lock::Held, [](const PyTopicStats& s) { return s.stats.*Field; }};

template <std::uint64_t wal::WalStats::*Field>
constexpr auto kWalField = Method{Borrow::Shared, Lock::Held, [](const PyWalStats& s) { return s.stats.*Field; }};

Ref new_u64_list(const std::vector<std::uint64_t>& values) {
  Ref list = expect(PyList_New(static_cast<Py_ssize_t>(values.size())), "failed to make a list");
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]).release());
  }
  return list;
}

constexpr auto kTopicLags =
    Method{Borrow::Shared, Lock::Held, [](const PyTopicStats& s) { return new_u64_list(s.stats.lags); }};

// A new object of a class of this file; one that cannot be made is an
// internal failure.
template <class T>
Ref new_snapshot(PyResult<PyTypeObject*> type, T value, const char* what) {
  if (!type) internal_failure_from_python(what);
  return expect(make_instance(*type, std::move(value)), what);
}

Ref wrap_wal_stats(const wal::WalStats& stats) {
  return new_snapshot(wal_stats_type(), PyWalStats{stats}, "failed to make a WalStats");
}

constexpr auto kTopicWal = Method{Borrow::Shared, Lock::Held, [](const PyTopicStats& s) {
                                    return s.stats.wal ? wrap_wal_stats(*s.stats.wal) : none();
                                  }};

Ref new_str(const std::string& text) {
  return expect(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())), "failed to make a str");
}

std::string lags_text(const std::vector<std::uint64_t>& lags) {
  std::string text = "[";
  for (std::size_t i = 0; i < lags.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(lags[i]);
  }
  return text + "]";
}

Ref topic_repr(const PyTopicStats& s) {
  const TopicStats& t = s.stats;
  return new_str("TopicStats(tail=" + std::to_string(t.tail) +
                 ", active_subscribers=" + std::to_string(t.active_subscribers) + ", lags=" + lags_text(t.lags) +
                 ", connected_sockets=" + std::to_string(t.connected_sockets) + ", published_total=" +
                 std::to_string(t.published_total) + ", full_rejected_total=" + std::to_string(t.full_rejected_total) +
                 ", subscribers_dropped_total=" + std::to_string(t.subscribers_dropped_total) +
                 ", wakeups_sent_total=" + std::to_string(t.wakeups_sent_total) +
                 ", wal=" + (t.wal ? "<WalStats>" : "None") + ")");
}

constexpr auto kTopicRepr = Method{Borrow::Shared, Lock::Held, topic_repr};

Ref wal_repr(const PyWalStats& s) {
  const wal::WalStats& w = s.stats;
  return new_str("WalStats(pending=" + std::to_string(w.pending_cursor) +
                 ", durable=" + std::to_string(w.durable_cursor) + ", oldest=" + std::to_string(w.oldest_cursor) +
                 ", active_bytes=" + std::to_string(w.active_segment_bytes) +
                 ", total_bytes=" + std::to_string(w.total_wal_bytes) + ", segments=" + std::to_string(w.segments) +
                 ", appends_total=" + std::to_string(w.appends_total) + ", append_bytes_total=" +
                 std::to_string(w.append_bytes_total) + ", flushes_total=" + std::to_string(w.flushes_total) + ")");
}

constexpr auto kWalRepr = Method{Borrow::Shared, Lock::Held, wal_repr};

// Read-only attributes: no setter, so assigning or deleting raises AttributeError.
PyGetSetDef kTopicStatsGetters[] = {
    {"tail", entry<kTopicField<&TopicStats::tail>>, nullptr, nullptr, nullptr},
    {"active_subscribers", entry<kTopicField<&TopicStats::active_subscribers>>, nullptr, nullptr, nullptr},
    {"lags", entry<kTopicLags>, nullptr, nullptr, nullptr},
    {"connected_sockets", entry<kTopicField<&TopicStats::connected_sockets>>, nullptr, nullptr, nullptr},
    {"published_total", entry<kTopicField<&TopicStats::published_total>>, nullptr, nullptr, nullptr},
    {"full_rejected_total", entry<kTopicField<&TopicStats::full_rejected_total>>, nullptr, nullptr, nullptr},
    {"subscribers_dropped_total", entry<kTopicField<&TopicStats::subscribers_dropped_total>>, nullptr, nullptr,
     nullptr},
    {"wakeups_sent_total", entry<kTopicField<&TopicStats::wakeups_sent_total>>, nullptr, nullptr, nullptr},
    {"wal", entry<kTopicWal>, nullptr,
     "The write-ahead log's snapshot when the publisher's log is enabled.\n"
     "None when the publisher keeps no log.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyGetSetDef kWalStatsGetters[] = {
    {"pending_cursor", entry<kWalField<&wal::WalStats::pending_cursor>>, nullptr, nullptr, nullptr},
    {"durable_cursor", entry<kWalField<&wal::WalStats::durable_cursor>>, nullptr, nullptr, nullptr},
    {"oldest_cursor", entry<kWalField<&wal::WalStats::oldest_cursor>>, nullptr, nullptr, nullptr},
    {"active_segment_bytes", entry<kWalField<&wal::WalStats::active_segment_bytes>>, nullptr, nullptr, nullptr},
    {"total_wal_bytes", entry<kWalField<&wal::WalStats::total_wal_bytes>>, nullptr, nullptr, nullptr},
    {"segments", entry<kWalField<&wal::WalStats::segments>>, nullptr, nullptr, nullptr},
    {"appends_total", entry<kWalField<&wal::WalStats::appends_total>>, nullptr, nullptr, nullptr},
    {"append_bytes_total", entry<kWalField<&wal::WalStats::append_bytes_total>>, nullptr, nullptr, nullptr},
    {"flushes_total", entry<kWalField<&wal::WalStats::flushes_total>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kTopicStatsSlots[] = {
    {Py_tp_getset, kTopicStatsGetters}, {Py_tp_repr, unary_slot(entry<kTopicRepr>)}, {0, nullptr}};

PyType_Slot kWalStatsSlots[] = {
    {Py_tp_getset, kWalStatsGetters}, {Py_tp_repr, unary_slot(entry<kWalRepr>)}, {0, nullptr}};

constexpr const char* kTopicStatsDoc =
    "A snapshot of a topic's ring buffer, sockets and counters.\n\n"
    "The values are fixed when the snapshot is taken. The attributes whose names\n"
    "end in _total are monotonic counters, counted since the publisher was\n"
    "created: the difference of two readings over the time between them gives\n"
    "a rate (messages per second, for instance).";

constexpr const char* kWalStatsDoc =
    "A snapshot of a topic's write-ahead log: its cursors, segment count,\n"
    "bytes on disk and monotonic operation counters.";

const ClassSpec kTopicStatsClass =
    class_spec<PyTopicStats>("qorva._qorva.TopicStats", kTopicStatsSlots, kTopicStatsDoc);
const ClassSpec kWalStatsClass = class_spec<PyWalStats>("qorva._qorva.WalStats", kWalStatsSlots, kWalStatsDoc);

}  // namespace

PyResult<PyTypeObject*> topic_stats_type() { return class_type<kTopicStatsClass>(); }

PyResult<PyTypeObject*> wal_stats_type() { return class_type<kWalStatsClass>(); }

Ref to_python(TopicStats stats) {
  return new_snapshot(topic_stats_type(), PyTopicStats{std::move(stats)}, "failed to make a TopicStats");
}

}  // namespace qorva::python
