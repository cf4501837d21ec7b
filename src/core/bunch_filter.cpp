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

bool bunch_filter::update_out(const char* data, int len) {
    platform::section_guard guard(m_lock);
    byte_string s = make_chunk(data, len);
    const char* stage = "(*it)->update_out : ";
    try {
        for (auto it = m_filters.begin(); it != m_filters.end();) {
            m_stop_requested = false;
            stage = "(*it)->update_out : ";
            bool keep = (*it)->update_out(s);
            if (m_fake_in_requested) {
                m_fake_in_requested = false;
                stage = "(*it)->update_in(fake) : ";
                byte_string t;
                (*it)->update_in(t);
                if (!t.empty()) m_provider->send_in(t.data(), static_cast<int>(t.size()));
            }
            if (m_stop_requested) {
                m_provider->close_in();
                m_provider->close_out();
            }
            if (!keep)
                it = m_filters.erase(it);
            else
                ++it;
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! " << stage << e.what());
        m_filters.clear();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! " << stage << "(unkonown exception)");
        m_filters.clear();
        return false;
    }
    if (!s.empty()) m_provider->send_out(s.data(), static_cast<int>(s.size()));
    return !m_filters.empty();
}

bool bunch_filter::update_in(const char* data, int len) {
    platform::section_guard guard(m_lock);
    byte_string s = make_chunk(data, len);
    // A filter may ask for the close while it handles server data (a body
    // that ends at the close for its client): the close follows the bytes.
    m_stop_requested = false;
    bool stop = false;
    try {
        for (auto it = m_filters.begin(); it != m_filters.end();) {
            bool keep = (*it)->update_in(s);
            stop = stop || m_stop_requested;
            m_stop_requested = false;
            if (!keep)
                it = m_filters.erase(it);
            else
                ++it;
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->update_in : " << e.what());
        m_filters.clear();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->update_in : (unkonown exception)");
        m_filters.clear();
        return false;
    }
    if (!s.empty()) m_provider->send_in(s.data(), static_cast<int>(s.size()));
    if (stop) {
        m_provider->close_in();
        m_provider->close_out();
    }
    return !m_filters.empty();
}

bool bunch_filter::stop_out() {
    platform::section_guard guard(m_lock);
    byte_string s;
    try {
        for (auto& f : m_filters) f->stop_out(s);
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_out : " << e.what());
        m_filters.clear();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_out : (unkonown exception)");
        m_filters.clear();
        return false;
    }
    if (!s.empty()) m_provider->send_out(s.data(), static_cast<int>(s.size()));
    m_provider->close_out();
    return true;
}

bool bunch_filter::stop_in() {
    platform::section_guard guard(m_lock);
    byte_string s;
    try {
        for (auto& f : m_filters) f->stop_in(s);
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_in : " << e.what());
        m_filters.clear();
        return false;
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! (*it)->stop_in : (unkonown exception)");
        m_filters.clear();
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
