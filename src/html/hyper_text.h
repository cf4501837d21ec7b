#pragma once
// Handlers for the text the HTML parser finds between tags: each piece is
// filtered in place; stop() appends whatever a handler held back.
#include <string>

namespace html {

template <class C>
class i_hyper_text_handler {
public:
    using string_t = std::basic_string<C>;
    virtual ~i_hyper_text_handler() = default;
    virtual bool update(string_t& text) = 0;
    virtual void stop(string_t& text) = 0;
};

// Leaves text as it is.
template <class C>
class hyper_text_stub : public i_hyper_text_handler<C> {
public:
    bool update(std::basic_string<C>&) override { return true; }
    void stop(std::basic_string<C>&) override {}
};

// Deletes text: the content of an element removed together with its content.
template <class C>
class hyper_text_cut_of : public i_hyper_text_handler<C> {
public:
    bool update(std::basic_string<C>& text) override {
        text.clear();
        return true;
    }
    void stop(std::basic_string<C>&) override {}
};

// ASCII literal widened to the character type of a filter instantiation.
template <class C>
std::basic_string<C> lit(const char* s) {
    std::basic_string<C> r;
    for (; *s; ++s) r.push_back(static_cast<C>(static_cast<unsigned char>(*s)));
    return r;
}

}  // namespace html
