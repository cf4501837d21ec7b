// The dispatcher's contract, driven through the filter-point interface with
// scripted stream filters.
#include "core/bunch_filter.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/kit.h"
#include "kit/log_capture.h"
#include "log/log.h"

namespace {

// A stream filter whose behaviour each test scripts.
struct scripted_filter : i_stream_filter {
    std::string name;
    std::vector<std::string>* trace = nullptr;
    i_connection_feedback* feedback = nullptr;
    std::function<bool(byte_string&)> on_out = [](byte_string&) { return true; };
    std::function<bool(byte_string&)> on_in = [](byte_string&) { return true; };
    std::function<void(byte_string&)> on_stop_in = [](byte_string&) {};
    std::function<void(byte_string&)> on_stop_out = [](byte_string&) {};

    bool update_out(byte_string& d) override {
        if (trace) trace->push_back(name + ".out(" + d + ")");
        return on_out(d);
    }
    bool update_in(byte_string& d) override {
        if (trace) trace->push_back(name + ".in(" + d + ")");
        return on_in(d);
    }
    void stop_in(byte_string& d) override {
        if (trace) trace->push_back(name + ".stop_in(" + d + ")");
        on_stop_in(d);
    }
    void stop_out(byte_string& d) override {
        if (trace) trace->push_back(name + ".stop_out(" + d + ")");
        on_stop_out(d);
    }
};

class bunch_filter_test : public ::testing::Test {
protected:
    std::shared_ptr<scripted_filter> add(const std::string& name) {
        auto f = std::make_shared<scripted_filter>();
        f->name = name;
        f->trace = &trace;
        filters.push_back(f);
        return f;
    }

    bunch_filter* make() {
        auto fs = filters;
        auto* b = new bunch_filter(&provider, 77, [fs](i_connection_feedback* fb, filter_chain& chain) {
            for (auto& f : fs) {
                f->feedback = fb;
                chain.push_back(f);
            }
        });
        return b;
    }

    bool logged(const std::string& needle) const { return log.count(needle) > 0; }

    kit::capturing_provider provider;
    std::vector<std::shared_ptr<scripted_filter>> filters;
    std::vector<std::string> trace;
    kit::log_capture log{1};
};

TEST_F(bunch_filter_test, empty_chain_passes_bytes_and_reports_no_filter) {
    bunch_filter* b = make();
    EXPECT_FALSE(b->update_out("abc", 3));
    EXPECT_EQ(provider.out, "abc");
    EXPECT_FALSE(b->update_in("xyz", 3));
    EXPECT_EQ(provider.in, "xyz");
    EXPECT_TRUE(b->stop_out());
    EXPECT_EQ(provider.close_out_count, 1);
    EXPECT_TRUE(b->stop_in());
    EXPECT_EQ(provider.close_in_count, 1);
    b->release();
}

TEST_F(bunch_filter_test, chain_rewrites_in_order_and_provider_gets_the_result) {
    add("a")->on_out = [](byte_string& d) {
        d += "-a";
        return true;
    };
    add("b")->on_out = [](byte_string& d) {
        d += "-b";
        return true;
    };
    bunch_filter* b = make();
    EXPECT_TRUE(b->update_out("x", 1));
    EXPECT_EQ(provider.out, "x-a-b");
    EXPECT_EQ(trace, (std::vector<std::string>{"a.out(x)", "b.out(x-a)"}));
    b->release();
}

TEST_F(bunch_filter_test, empty_chunk_reaches_every_filter_and_sends_nothing) {
    add("a");
    add("b");
    bunch_filter* b = make();
    EXPECT_TRUE(b->update_out("", 0));
    EXPECT_TRUE(b->update_in(nullptr, 0));
    EXPECT_EQ(trace, (std::vector<std::string>{"a.out()", "b.out()", "a.in()", "b.in()"}));
    EXPECT_TRUE(provider.events.empty());
    b->release();
}

TEST_F(bunch_filter_test, held_bytes_are_not_sent_until_released) {
    auto f = add("holder");
    std::string held;
    f->on_in = [&](byte_string& d) {
        held += d;
        d.clear();
        return true;
    };
    f->on_stop_in = [&](byte_string& d) {
        d += held;
        held.clear();
    };
    bunch_filter* b = make();
    b->update_in("ab", 2);
    b->update_in("cd", 2);
    EXPECT_TRUE(provider.events.empty());
    EXPECT_TRUE(b->stop_in());
    ASSERT_EQ(provider.events.size(), 2u);
    EXPECT_EQ(provider.events[0].kind, kit::capturing_provider::event::send_in);
    EXPECT_EQ(provider.events[0].data, "abcd");
    EXPECT_EQ(provider.events[1].kind, kit::capturing_provider::event::close_in);
    b->release();
}

TEST_F(bunch_filter_test, stop_flushes_append_in_chain_order) {
    add("a")->on_stop_out = [](byte_string& d) { d += "A"; };
    add("b")->on_stop_out = [](byte_string& d) { d += "B"; };
    bunch_filter* b = make();
    EXPECT_TRUE(b->stop_out());
    EXPECT_EQ(provider.out, "AB");
    EXPECT_EQ(trace, (std::vector<std::string>{"a.stop_out()", "b.stop_out(A)"}));
    b->release();
}

TEST_F(bunch_filter_test, decliner_output_still_flows_on_and_it_leaves_both_directions) {
    add("a")->on_out = [](byte_string& d) {
        d = "[" + d + "]";
        return false;
    };
    add("b");
    bunch_filter* b = make();
    EXPECT_TRUE(b->update_out("q", 1));
    EXPECT_EQ(provider.out, "[q]");
    EXPECT_EQ(b->chain_size(), 1u);
    trace.clear();
    b->update_in("r", 1);
    EXPECT_EQ(trace, (std::vector<std::string>{"b.in(r)"}));
    b->release();
}

TEST_F(bunch_filter_test, last_decline_returns_false) {
    add("a")->on_in = [](byte_string&) { return false; };
    bunch_filter* b = make();
    EXPECT_FALSE(b->update_in("z", 1));
    EXPECT_EQ(provider.in, "z");
    EXPECT_FALSE(b->update_out("y", 1));
    EXPECT_EQ(provider.out, "y");
    b->release();
}

TEST_F(bunch_filter_test, fake_in_pass_reaches_only_the_requester_and_goes_to_the_client) {
    add("first")->on_in = [](byte_string& d) {
        d += "!first-saw-it";
        return true;
    };
    auto blocker = add("blocker");
    blocker->on_out = [&](byte_string& d) {
        d.clear();  // the server never sees the blocked request
        blocker->feedback->request_fake_in();
        return true;
    };
    blocker->on_in = [](byte_string& d) {
        if (d.empty()) d = "canned reply";
        return true;
    };
    add("last");
    bunch_filter* b = make();
    EXPECT_TRUE(b->update_out("GET /ad", 7));
    EXPECT_EQ(provider.in, "canned reply");
    EXPECT_EQ(provider.out, "");
    EXPECT_EQ(trace,
              (std::vector<std::string>{"first.out(GET /ad)", "blocker.out(GET /ad)", "blocker.in()", "last.out()"}));
    b->release();
}

TEST_F(bunch_filter_test, fake_in_served_before_removal_of_a_declining_requester) {
    auto f = add("f");
    f->on_out = [&](byte_string&) {
        f->feedback->request_fake_in();
        return false;
    };
    f->on_in = [](byte_string& d) {
        d = "bye";
        return true;
    };
    bunch_filter* b = make();
    EXPECT_FALSE(b->update_out("x", 1));
    EXPECT_EQ(provider.in, "bye");
    EXPECT_EQ(provider.out, "x");
    b->release();
}

TEST_F(bunch_filter_test, fake_in_requested_outside_update_out_waits_for_the_next_out_pass) {
    auto f = add("f");
    f->on_in = [&](byte_string& d) {
        if (d == "trigger") f->feedback->request_fake_in();
        if (d.empty()) d = "late reply";
        return true;
    };
    bunch_filter* b = make();
    b->update_in("trigger", 7);
    EXPECT_EQ(provider.in, "trigger");
    b->update_out("next", 4);
    EXPECT_EQ(provider.in, "triggerlate reply");
    b->release();
}

TEST_F(bunch_filter_test, stop_request_closes_in_then_out_before_next_filter_and_chunk_still_goes_out) {
    auto f = add("stopper");
    f->on_out = [&](byte_string&) {
        f->feedback->request_stop();
        return true;
    };
    auto g = add("next");
    std::size_t events_seen_by_next = 99;
    g->on_out = [&](byte_string&) {
        events_seen_by_next = provider.events.size();
        return true;
    };
    bunch_filter* b = make();
    b->update_out("data", 4);
    EXPECT_EQ(events_seen_by_next, 2u);
    ASSERT_EQ(provider.events.size(), 3u);
    EXPECT_EQ(provider.events[0].kind, kit::capturing_provider::event::close_in);
    EXPECT_EQ(provider.events[1].kind, kit::capturing_provider::event::close_out);
    EXPECT_EQ(provider.events[2].kind, kit::capturing_provider::event::send_out);
    EXPECT_EQ(provider.events[2].data, "data");
    b->release();
}

TEST_F(bunch_filter_test, stop_requested_during_update_in_closes_after_the_bytes) {
    auto f = add("f");
    f->on_in = [&](byte_string&) {
        f->feedback->request_stop();
        return true;
    };
    bunch_filter* b = make();
    b->update_in("x", 1);
    EXPECT_EQ(provider.close_in_count, 1);
    EXPECT_EQ(provider.close_out_count, 1);
    ASSERT_EQ(provider.events.size(), 3u);
    EXPECT_EQ(provider.events[0].kind, kit::capturing_provider::event::send_in);
    EXPECT_EQ(provider.events[0].data, "x");
    // One request, one close: the next chunk does not close again.
    f->on_in = [](byte_string&) { return true; };
    b->update_in("z", 1);
    EXPECT_EQ(provider.close_in_count, 1);
    b->release();
}

TEST_F(bunch_filter_test, exception_in_update_in_is_logged_clears_chain_and_loses_the_chunk) {
    add("a")->on_in = [](byte_string&) -> bool { throw std::runtime_error("boom"); };
    add("b");
    bunch_filter* b = make();
    EXPECT_FALSE(b->update_in("lost", 4));
    EXPECT_EQ(provider.in, "");
    EXPECT_EQ(b->chain_size(), 0u);
    EXPECT_TRUE(logged("Erorr!!! filt/bunch ln:"));
    EXPECT_TRUE(logged(" !!!EXCEPRION RAISED!!! (*it)->update_in : boom\n"));
    // The filter point keeps working with an empty chain.
    EXPECT_FALSE(b->update_in("after", 5));
    EXPECT_EQ(provider.in, "after");
    b->release();
}

TEST_F(bunch_filter_test, exception_texts_for_every_operation) {
    struct odd {};
    add("a")->on_out = [](byte_string&) -> bool { throw odd{}; };
    bunch_filter* b = make();
    EXPECT_FALSE(b->update_out("x", 1));
    EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! (*it)->update_out : (unkonown exception)\n"));
    EXPECT_EQ(provider.out, "");
    b->release();

    filters.clear();
    add("s")->on_stop_out = [](byte_string&) { throw std::logic_error("so"); };
    b = make();
    EXPECT_FALSE(b->stop_out());
    EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! (*it)->stop_out : so\n"));
    EXPECT_EQ(provider.close_out_count, 0);
    b->release();

    filters.clear();
    add("s")->on_stop_in = [](byte_string&) { throw 5; };
    b = make();
    EXPECT_FALSE(b->stop_in());
    EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! (*it)->stop_in : (unkonown exception)\n"));
    EXPECT_EQ(provider.close_in_count, 0);
    b->release();

    filters.clear();
    auto f = add("fake");
    f->on_out = [&](byte_string&) {
        f->feedback->request_fake_in();
        return true;
    };
    f->on_in = [](byte_string&) -> bool { throw std::runtime_error("in fake"); };
    b = make();
    EXPECT_FALSE(b->update_out("x", 1));
    EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! (*it)->update_in(fake) : in fake\n"));
    b->release();
}

TEST_F(bunch_filter_test, construction_failure_leaves_a_working_pass_through_filter_point) {
    auto* b = new bunch_filter(&provider, 1, [](i_connection_feedback*, filter_chain& chain) {
        chain.push_back(std::make_shared<scripted_filter>());
        throw std::runtime_error("no filters today");
    });
    EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! bunch_filter() : no filters today\n"));
    EXPECT_EQ(b->chain_size(), 0u);
    EXPECT_FALSE(b->update_out("pass", 4));
    EXPECT_EQ(provider.out, "pass");
    b->release();

    auto* c = new bunch_filter(&provider, 1, [](i_connection_feedback*, filter_chain&) { throw 1; });
    EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! bunch_filter() : (unkonown exception)\n"));
    c->release();
}

TEST_F(bunch_filter_test, connection_info_carries_the_creation_context) {
    bunch_filter* b = make();
    zem::connection_info info{};
    info.context = -5;
    EXPECT_TRUE(static_cast<i_connection_feedback*>(b)->get_connection_info(&info));
    EXPECT_EQ(info.id0, provider.id0);
    EXPECT_EQ(info.id2, provider.id2);
    EXPECT_EQ(info.context, 77);
    b->release();
}

TEST_F(bunch_filter_test, provider_may_call_back_into_the_same_filter_point) {
    struct reentrant_provider : kit::capturing_provider {
        zem::i_filt_point* fp = nullptr;
        bool done = false;
        bool send_out(const char* d, int n) override {
            capturing_provider::send_out(d, n);
            if (!done) {
                done = true;
                fp->update_in("echo", 4);  // same thread: the lock is recursive
            }
            return true;
        }
    } rp;
    auto* b = new bunch_filter(&rp, 0, nullptr);
    rp.fp = b;
    b->update_out("ping", 4);
    EXPECT_EQ(rp.out, "ping");
    EXPECT_EQ(rp.in, "echo");
    b->release();
}

// A provider that calls back into its filter point from the fake reply (the
// re-entry the recursive lock allows), and what the nested pass does to the
// chain the outer pass is still walking: the requester or the filter after
// it declines, or a filter throws and the chain is emptied.
TEST_F(bunch_filter_test, reentry_from_the_provider_may_detach_filters_the_outer_pass_still_walks) {
    enum class nested_effect { requester_declines, next_declines, next_throws };
    for (nested_effect effect :
         {nested_effect::requester_declines, nested_effect::next_declines, nested_effect::next_throws}) {
        SCOPED_TRACE(static_cast<int>(effect));
        filters.clear();
        trace.clear();
        struct reentrant_provider : kit::capturing_provider {
            zem::i_filt_point* fp = nullptr;
            bool nested_result = true;
            bool send_in(const char* d, int n) override {
                capturing_provider::send_in(d, n);
                nested_result = fp->update_out("nested", 6);
                return true;
            }
        } rp;
        auto requester = add("req");
        scripted_filter* req = requester.get();  // the chain alone keeps it
        requester->on_out = [req, effect](byte_string& d) {
            if (d == "nested") return effect != nested_effect::requester_declines;
            req->feedback->request_fake_in();
            req->feedback->request_stop();
            return true;
        };
        requester->on_in = [](byte_string& d) {
            if (d.empty()) d = "canned";
            return true;
        };
        auto next = add("next");
        next->on_out = [effect](byte_string& d) -> bool {
            if (d != "nested") return true;
            if (effect == nested_effect::next_throws) throw std::runtime_error("nested boom");
            return effect != nested_effect::next_declines;
        };
        auto* b = new bunch_filter(&rp, 0, [fs = filters](i_connection_feedback* fb, filter_chain& chain) {
            for (auto& f : fs) {
                f->feedback = fb;
                chain.push_back(f);
            }
        });
        rp.fp = b;
        std::weak_ptr<scripted_filter> req_alive = requester, next_alive = next;
        requester.reset();
        next.reset();
        filters.clear();

        const bool outer = b->update_out("outer", 5);
        EXPECT_EQ(rp.in, "canned");
        // The stop the requester asked for survives the nested pass.
        EXPECT_EQ(rp.close_in_count, 1);
        EXPECT_EQ(rp.close_out_count, 1);
        switch (effect) {
            case nested_effect::requester_declines:
                // The requester left during the nested pass; the outer chunk
                // still goes through the filter after it.
                EXPECT_EQ(trace, (std::vector<std::string>{"req.out(outer)", "req.in()", "req.out(nested)",
                                                           "next.out(nested)", "next.out(outer)"}));
                EXPECT_EQ(rp.out, "nestedouter");
                EXPECT_TRUE(outer);
                EXPECT_EQ(b->chain_size(), 1u);
                EXPECT_TRUE(req_alive.expired());
                break;
            case nested_effect::next_declines:
                // A filter that declined sees nothing more, not even the chunk
                // of the outer pass that was under way.
                EXPECT_EQ(trace, (std::vector<std::string>{"req.out(outer)", "req.in()", "req.out(nested)",
                                                           "next.out(nested)"}));
                EXPECT_EQ(rp.out, "nestedouter");
                EXPECT_TRUE(outer);
                EXPECT_EQ(b->chain_size(), 1u);
                EXPECT_TRUE(next_alive.expired());
                break;
            case nested_effect::next_throws:
                EXPECT_FALSE(rp.nested_result);
                EXPECT_TRUE(logged("!!!EXCEPRION RAISED!!! (*it)->update_out : nested boom\n"));
                // The nested chunk is lost; the outer one goes on unfiltered.
                EXPECT_EQ(rp.out, "outer");
                EXPECT_FALSE(outer);
                EXPECT_EQ(b->chain_size(), 0u);
                EXPECT_TRUE(req_alive.expired());
                EXPECT_TRUE(next_alive.expired());
                break;
        }
        // The filter point keeps working afterwards.
        trace.clear();
        b->update_in("later", 5);
        EXPECT_EQ(rp.in, "cannedlater");
        b->release();
    }
}

TEST(stub_feedback, answers_true_and_zeroes_identity) {
    stub_connection_feedback fb;
    EXPECT_TRUE(fb.get_connection_info(nullptr));
    zem::connection_info info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_TRUE(fb.get_connection_info(&info));
    EXPECT_EQ(info.id0, 0u);
    EXPECT_EQ(info.id1, 0u);
    EXPECT_EQ(info.id2, 0u);
    EXPECT_EQ(info.word3, 0u);
    EXPECT_EQ(info.word4, 0u);
    EXPECT_EQ(info.context, 0);
    EXPECT_EQ(info.address_a[0], 0xAB);  // left alone
    EXPECT_TRUE(fb.request_fake_in());
    EXPECT_TRUE(fb.request_stop());
}

TEST(stream_filter_base, default_out_direction_passes_and_stays_attached) {
    struct in_only : i_stream_filter {
        void stop_in(byte_string&) override {}
        bool update_in(byte_string&) override { return true; }
    };
    kit::capturing_provider p;
    auto* b = new bunch_filter(
        &p, 0, [](i_connection_feedback*, filter_chain& c) { c.push_back(std::make_shared<in_only>()); });
    EXPECT_TRUE(b->update_out("unchanged", 9));
    EXPECT_EQ(p.out, "unchanged");
    EXPECT_EQ(b->chain_size(), 1u);
    b->release();
}

}  // namespace
