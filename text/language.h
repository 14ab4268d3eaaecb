// Automatic interface language: from the SIM's preferred-language file, or from the device
// database by the country digits of the ICCID.
#pragma once

#include <cstdint>

namespace orv::text {

// Country digits of the current SIM: four digits and a terminator. The ICCID request fills the
// four digits just before it runs the detection; a lookup shortens the text in place.
extern char orv_country[5];

// Reads EF_PL and stores "Language" (committed); falls back to the country lookup.
void orv_quorl_mdm_auto_set_language();

// Looks the language up by country digits, 4, then 3, then 2 of them. Returns 0, -1 for null.
int orv_set_language_by_country(const char* country);

// Per-row callback of the device database query: stores the row's language.
int orv_language_record_cb(void* context, int column_count, char** values, char** names);

}  // namespace orv::text
