// Automatic interface language: from the SIM's preferred-language file, or from the device
// database by the country digits of the ICCID.
#pragma once

#include <cstddef>

namespace orv::sim_identity {

// Country digits of a SIM: four digits and a terminator. The ICCID request fills the four digits
// just before it runs the detection; a lookup shortens the text in place.
inline constexpr std::size_t kCountrySize = 5;

// Reads EF_PL and stores "Language" (committed); falls back to the country lookup with
// `orv_country`.
void orv_quorl_mdm_auto_set_language(char (&orv_country)[kCountrySize]);

// Looks the language up by the country digits of the zero-terminated `country`, 4, then 3, then 2
// of them, shortening the text in place. Returns 0, -1 for null.
int orv_set_language_by_country(char* country);

// The context of one database query: the country looked up, and the language its row gave.
struct LanguageQuery {
    const char* country;
    char language[10];
};

// Per-row callback of the device database query (`context`: a LanguageQuery): stores the row's
// language and keeps it in the query.
int orv_language_record_cb(void* context, int column_count, char** values, char** names);

}  // namespace orv::sim_identity
