#include "browser/web_settings.hpp"

#include <cstring>
#include <string_view>

#include "browser/window_geometry.hpp"

namespace kvt::browser {

namespace {

// Engine features switched off: timer throttling, animation suspension and
// process suppression of hidden pages. The simulation must keep stepping at
// full rate when the window is minimised or hidden.
constexpr std::string_view disabled_features[] = {
    "HiddenPageDOMTimerThrottling",
    "HiddenPageDOMTimerThrottlingAutoIncreases",
    "DOMTimersThrottling",
    "HiddenPageCSSAnimationSuspension",
    "PageVisibilityBasedProcessSuppression",
};

void disable_features(WebKitSettings* settings) {
  WebKitFeatureList* all = webkit_settings_get_all_features();
  const gsize n = webkit_feature_list_get_length(all);
  for (gsize i = 0; i < n; ++i) {
    WebKitFeature* feature = webkit_feature_list_get(all, i);
    const char* id = webkit_feature_get_identifier(feature);
    for (std::string_view name : disabled_features)
      if (id != nullptr && name == id) webkit_settings_set_feature_enabled(settings, feature, FALSE);
  }
  webkit_feature_list_unref(all);
}

}  // namespace

WebKitSettings* make_web_settings(bool runner, bool tools) {
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_user_agent(settings, runner ? runner_user_agent : user_agent);
  webkit_settings_set_enable_developer_extras(settings, tools ? TRUE : FALSE);
  // Popups are refused by the navigation policy; the page never opens windows.
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_enable_media_stream(settings, TRUE);
  webkit_settings_set_enable_webrtc(settings, FALSE);
  webkit_settings_set_enable_spatial_navigation(settings, FALSE);
  disable_features(settings);
  return settings;
}

}  // namespace kvt::browser
