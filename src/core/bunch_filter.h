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

    // Between calls the chain holds only attached filters.
    std::size_t chain_size() const;
    const filter_chain& chain() const { return m_filters; }

private:
    class pass_scope;
    // Detaching while an outer pass of the same thread (a provider that
    // called back in) still walks the chain leaves an empty slot instead of
    // erasing under its iterator; the outermost pass sweeps the slots.
    filter_chain::iterator detach(filter_chain::iterator it);
    void detach_all();
    bool attached() const;

    filter_chain m_filters;
    int m_depth = 0;  // passes of this thread under way, nested ones included
    bool m_has_empty_slots = false;
    zem::i_provider* m_provider;
    int m_context;
    platform::critical_section m_lock;
    bool m_fake_in_requested = false;
    bool m_stop_requested = false;
};
