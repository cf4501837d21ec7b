#include "core/bunch_filter.h"

#include <exception>

#include "log/log.h"

namespace {
const char* const k_source = "filt/bunch";

byte_string make_chunk(const char* data, int len) {
    if (!data || len <= 0) return byte_string();
    return byte_string(data, static_cast<std::size_t>(len));
}
}  // namespace

bunch_filter::bunch_filter(zem::i_provider* provider, int context, const chain_builder& build)
    : m_provider(provider), m_context(context) {
    try {
        if (build) build(this, m_filters);
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! bunch_filter() : " << e.what());
        m_filters.clear();
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! bunch_filter() : (unkonown exception)");
        m_filters.clear();
    }
}

bunch_filter::~bunch_filter() = default;

// Counts the passes under way on this filter point. Only the lock's owner
// touches the count, so it needs no lock of its own.
class bunch_filter::pass_scope {
public:
    explicit pass_scope(bunch_filter& b) : m_b(b) { ++m_b.m_depth; }
    ~pass_scope() {
        if (--m_b.m_depth == 0 && m_b.m_has_empty_slots) {
            m_b.m_filters.remove(nullptr);
            m_b.m_has_empty_slots = false;
        }
    }
    pass_scope(const pass_scope&) = delete;
    pass_scope& operator=(const pass_scope&) = delete;

private:
    bunch_filter& m_b;
};

filter_chain::iterator bunch_filter::detach(filter_chain::iterator it) {
    if (m_depth <= 1) return m_filters.erase(it);
    it->reset();
    m_has_empty_slots = true;
    return ++it;
}

void bunch_filter::detach_all() {
    if (m_depth <= 1) {
        m_filters.clear();
        return;
    }
    for (auto& f : m_filters) f.reset();
    m_has_empty_slots = true;
}

bool bunch_filter::attached() const {
    for (const auto& f : m_filters)
        if (f) return true;
    return false;
}

std::size_t bunch_filter::chain_size() const {
    std::size_t n = 0;
    for (const auto& f : m_filters)
        if (f) ++n;
    return n;
}

bool bunch_filter::update_out(const char* data, int len) {
    platform::section_guard guard(m_lock);
    pass_scope scope(*this);
    byte_string s = make_chunk(data, len);
    const char* stage = "(*it)->update_out : ";
    try {
        for (auto it = m_filters.begin(); it != m_filters.end();) {
            if (!*it) {
                ++it;
                continue;
            }
            // Our own reference: a provider that calls back in may detach
            // this filter while it is still being served here.
            const std::shared_ptr<i_stream_filter> f = *it;
            m_stop_requested = false;
            stage = "(*it)->update_out : ";
            bool keep = f->update_out(s);
            byte_string reply;
            const bool fake = m_fake_in_requested;
            if (fake) {
                m_fake_in_requested = false;
                stage = "(*it)->update_in(fake) : ";
                f->update_in(reply);
            }
            // Taken before the provider runs: a pass it makes on this
            // filter point clears the flag for its own filters.
            const bool stop = m_stop_requested;
            if (fake && !reply.empty()) m_provider->send_in(reply.data(), static_cast<int>(reply.size()));
            if (stop) {
                m_provider->close_in();
                m_provider->close_out();
            }
            if (!keep && *it)
                it = detach(it);
            else
                ++it;
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! " << stage << e.what());
        detach_all();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! " << stage << "(unkonown exception)");
        detach_all();
        return false;
    }
    if (!s.empty()) m_provider->send_out(s.data(), static_cast<int>(s.size()));
    return attached();
}

bool bunch_filter::update_in(const char* data, int len) {
    platform::section_guard guard(m_lock);
    pass_scope scope(*this);
    byte_string s = make_chunk(data, len);
    // A filter may ask for the close while it handles server data (a body
    // that ends at the close for its client): the close follows the bytes.
    m_stop_requested = false;
    bool stop = false;
    try {
        for (auto it = m_filters.begin(); it != m_filters.end();) {
            if (!*it) {
                ++it;
                continue;
            }
            const std::shared_ptr<i_stream_filter> f = *it;
            bool keep = f->update_in(s);
            stop = stop || m_stop_requested;
            m_stop_requested = false;
            if (!keep && *it)
                it = detach(it);
            else
                ++it;
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->update_in : " << e.what());
        detach_all();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->update_in : (unkonown exception)");
        detach_all();
        return false;
    }
    if (!s.empty()) m_provider->send_in(s.data(), static_cast<int>(s.size()));
    if (stop) {
        m_provider->close_in();
        m_provider->close_out();
    }
    return attached();
}

bool bunch_filter::stop_out() {
    platform::section_guard guard(m_lock);
    pass_scope scope(*this);
    byte_string s;
    try {
        for (auto it = m_filters.begin(); it != m_filters.end(); ++it) {
            if (!*it) continue;
            const std::shared_ptr<i_stream_filter> f = *it;
            f->stop_out(s);
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_out : " << e.what());
        detach_all();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_out : (unkonown exception)");
        detach_all();
        return false;
    }
    if (!s.empty()) m_provider->send_out(s.data(), static_cast<int>(s.size()));
    m_provider->close_out();
    return true;
}

bool bunch_filter::stop_in() {
    platform::section_guard guard(m_lock);
    pass_scope scope(*this);
    byte_string s;
    try {
        for (auto it = m_filters.begin(); it != m_filters.end(); ++it) {
            if (!*it) continue;
            const std::shared_ptr<i_stream_filter> f = *it;
            f->stop_in(s);
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_in : " << e.what());
        detach_all();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_in : (unkonown exception)");
        detach_all();
        return false;
    }
    if (!s.empty()) m_provider->send_in(s.data(), static_cast<int>(s.size()));
    m_provider->close_in();
    return true;
}

void bunch_filter::release() { delete this; }

bool bunch_filter::request_fake_in() {
    m_fake_in_requested = true;
    return true;
}

bool bunch_filter::request_stop() {
    m_stop_requested = true;
    return true;
}

bool bunch_filter::get_connection_info(zem::connection_info* info) {
    if (!info) return true;
    m_provider->get_connection_info(info);
    info->context = m_context;
    return true;
}
