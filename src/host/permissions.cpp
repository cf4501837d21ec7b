#include "host/permissions.h"

namespace {
const char* const k_index_names[] = {
    "idx_cookies",
    "idx_activex",
    "idx_java_applets",
    "idx_referers",
    "idx_flash",
    "idx_hidden_frames",
    "idx_gif_animation",
    "idx_gif_animation_tail_frames",
    "idx_ext_images",
    "idx_jscript",
    "idx_vbscript",
    "idx_ax_from_script",
    "idx_load_unload_script",
    "idx_popups",
    "idx_host_enable",
    "idx_ads_by_link",
    "idx_ads_by_size",
    "idx_content_by_url",
    "idx_content_by_keywords",
    "idx_ads_by_link_replace_gif",
    "idx_ads_by_size_replace_gif",
};
}  // namespace

const char* permission_index_name(std::int32_t index) {
    // idx_check_script has no printed name of its own in the log.
    if (index >= 0 && index < idx_check_script) return k_index_names[index];
    if (index == idx_count) return "idx_count";
    if (index == idx_unknown) return "idx_unknown";
    return "idx_bredovi";
}

const char* content_action_name(std::int32_t action) {
    switch (action) {
        case content_action_unknown:
            return "content_action_unknown";
        case content_action_allow:
            return "content_action_allow";
        case content_action_block:
            return "content_action_block";
        case content_action_learn:
            return "content_action_learn";
        default:
            return "content_action_bredovi";
    }
}

const char* mail_action_name(std::int32_t action) {
    switch (action) {
        case mail_action_leave:
            return "mail_action_leave";
        case mail_action_cut_whole_section:
            return "mail_action_cut_whole_section";
        case mail_action_replace:
            return "mail_action_replace";
        default:
            return "content_action_bredovi";
    }
}
