// A product header whose maker domain differs from the page's: the page check must refuse it.
inline constexpr const char* maker_domain = "example.invalid";
