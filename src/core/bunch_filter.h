#pragma once
// The filter point of one connection: pushes each chunk through its chain of
// stream filters in place, hands the result to the host's provider, detaches
// filters that decline, serves fake-in passes and stop requests, and contains
// every exception a filter throws.
#include <functional>
#include <list>
#include <memory>

#include "core/interfaces.h"
#include "platform/lock.h"
#include "zem/filt_point.h"

using filter_chain = std::list<std::shared_ptr<i_stream_filter>>;

// Appends the stream filters of a new connection to 'chain'; it may throw,
// which leaves the filter point with an empty chain.
using chain_builder = std::function<void(i_connection_feedback* feedback, filter_chain& chain)>;

class bunch_filter : public zem::i_filt_point, public i_connection_feedback {
public:
    bunch_filter(zem::i_provider* provider, int context, const chain_builder& build);
    ~bunch_filter() override;

    bool update_out(const char* data, int len) override;
    bool stop_out() override;
    bool update_in(const char* data, int len) override;
    bool stop_in() override;
    void release() override;

    bool request_fake_in() override;
    bool request_stop() override;
    bool get_connection_info(zem::connection_info* info) override;

    std::size_t chain_size() const { return m_filters.size(); }
    const filter_chain& chain() const { return m_filters; }

private:
    filter_chain m_filters;
    zem::i_provider* m_provider;
    int m_context;
    platform::critical_section m_lock;
    bool m_fake_in_requested = false;
    bool m_stop_requested = false;
};
