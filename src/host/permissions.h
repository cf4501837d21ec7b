#pragma once
// Permission indexes and content actions of the host's policy.
#include <cstdint>

enum permission_index : std::int32_t {
    idx_unknown = -1,
    idx_cookies = 0,
    idx_activex = 1,
    idx_java_applets = 2,
    idx_referers = 3,
    idx_flash = 4,
    idx_hidden_frames = 5,
    idx_gif_animation = 6,
    idx_gif_animation_tail_frames = 7,
    idx_ext_images = 8,
    idx_jscript = 9,
    idx_vbscript = 10,
    idx_ax_from_script = 11,
    idx_load_unload_script = 12,
    idx_popups = 13,
    idx_host_enable = 14,
    idx_ads_by_link = 15,
    idx_ads_by_size = 16,
    idx_content_by_url = 17,
    idx_content_by_keywords = 18,
    idx_ads_by_link_replace_gif = 19,
    idx_ads_by_size_replace_gif = 20,
    idx_check_script = 21,
    idx_count = 22,
};

enum content_action : std::int32_t {
    content_action_unknown = -1,
    content_action_allow = 0,
    content_action_block = 1,
    content_action_learn = 2,
};

enum mail_action : std::int32_t {
    mail_action_leave = 0,
    mail_action_cut_whole_section = 1,
    mail_action_replace = 2,
};

constexpr int permission_array_words = 26;

// Printed names (the log's spelling).
const char* permission_index_name(std::int32_t index);
const char* content_action_name(std::int32_t action);
const char* mail_action_name(std::int32_t action);
