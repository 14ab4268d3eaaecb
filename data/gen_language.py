#!/usr/bin/python3
"""Writes data/language.csv: the country digits an ICCID carries -> the language phones of that
country are set to.

Sources (Debian packages, nothing fetched):
  python3-phonenumbers  libphonenumber's metadata: every country calling code and the regions
                        that share it, the code's main region first.
  python3-babel         CLDR: the territory's languages with their official status and share of
                        the population, and likely subtags ("und_DE" -> "de_Latn_DE").

The language of a territory: its official languages first (CLDR status "official" or
"de_facto_official"), the most spoken of them that has an ISO 639-1 code; where CLDR names no
official language with one, CLDR's likely language. OVERRIDES below then corrects the few
territories where that still misleads, each with its reason.

Run from anywhere:  /usr/bin/python3 data/gen_language.py  (rewrites data/language.csv next to it)
"""

import os
import sys

import babel
import phonenumbers
from babel.core import get_global
from phonenumbers import COUNTRY_CODE_TO_REGION_CODE

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "language.csv")

# Territories where the official-language rule names a language phones are rarely set to.
OVERRIDES = {
    "PY": ("es", "Guarani is official and more spoken; phones and operators use Spanish"),
    "IN": ("en", "Hindi leads by speakers; phones ship and are mostly used in English"),
    "PK": ("en", "Urdu leads by speakers; phones ship and are mostly used in English"),
    "BT": ("en", "Dzongkha is the national language; schooling and phones are in English"),
    "MV": ("en", "Dhivehi is the national language; schooling and phones are in English"),
    "VU": ("en", "Bislama leads by speakers; phones offer none and are mostly set to English"),
    "WS": ("en", "Samoan leads by speakers; phones offer no Samoan and are set to English"),
    "TO": ("en", "Tongan leads by speakers; phones offer no Tongan and are set to English"),
    "KE": ("en", "Swahili leads by speakers; English is the language of phones and operators"),
    "UG": ("en", "Swahili is official but little used; English is the everyday written language"),
    "MW": ("en", "Chichewa leads by speakers; English is the language of phones and operators"),
    "ZW": ("en", "Shona leads by speakers; English is the language of phones and operators"),
    "LS": ("en", "Sesotho leads by speakers; English is the language of phones and operators"),
    "RW": ("en", "Kinyarwanda leads by speakers; English is the language of schooling and phones"),
    "SC": ("en", "Creole leads; CLDR ranks French above English, the written language"),
    "CF": ("fr", "Sango leads by speakers; French is the written language"),
    "SD": ("ar", "CLDR's speaker shares put English first; Arabic is the everyday language"),
    "DJ": ("fr", "Arabic and French are official; French is the written language"),
    "KM": ("fr", "Comorian and Arabic lead CLDR's shares; French is the written language"),
    "BI": ("fr", "Kirundi leads by speakers; French is the written language and that of phones"),
    "MG": ("fr", "Malagasy leads by speakers; phones offer no Malagasy and are set to French"),
    "HT": ("fr", "Haitian Creole leads by speakers; phones offer French"),
    "MT": ("en", "Maltese leads by speakers; English is co-official and the language of phones"),
    "BY": ("ru", "Belarusian is official; most people use Russian"),
    "SN": ("fr", "Wolof is the de facto official language by speakers; French is written"),
    "NO": ("nb", "CLDR names the macrolanguage no; phones use Bokmal, nb"),
    "GL": ("da", "Greenlandic leads by speakers; phones offer none and are set to Danish"),
}

# Issuers that write their mobile country code after 89 instead of the calling code: the
# digits, the region and why the row cannot mislead another country's SIM.
MCC_ROWS = [
    ("302", "CA", "Canada's MCC 302; inside Greece's +30, where no issuer identifier begins with 2"),
]

# Zones of one-digit calling codes whose issuers also write the code without its leading 0
# ("8970...", "8914..."): the two-digit rows 10-19 and 70-79 reach their main country. No other
# calling code begins with 1 or 7, so these rows cannot clash with another country.
ONE_DIGIT_ZONES = (1, 7)


def iccid_code(calling_code):
    """The calling code as it stands after 89 in an ICCID: at least two digits, so the one-digit
    codes +1 and +7 appear as 01 and 07."""
    return "%02d" % calling_code


def official_language(region):
    """The most spoken official language with a two-letter code, or None."""
    spoken = get_global("territory_languages").get(region, {})
    ranked = sorted(
        ((info.get("population_percent") or 0.0, code.split("_")[0])
         for code, info in spoken.items()
         if info.get("official_status") in ("official", "de_facto_official")),
        reverse=True)
    for _, code in ranked:
        if len(code) == 2:
            return code
    return None


def likely_language(region):
    """CLDR's likely language of a territory: und_XX, else und (English) as CLDR's algorithm
    falls back to."""
    subtags = get_global("likely_subtags")
    tag = subtags.get("und_" + region) or subtags.get("und")
    return tag.split("_")[0]


def language(region):
    if region in OVERRIDES:
        return OVERRIDES[region][0], "override"
    lang = official_language(region)
    if lang is not None:
        return lang, "official"
    lang = likely_language(region)
    if len(lang) == 2:
        return lang, "likely"
    return None, None


def main():
    rows = []
    shared = []
    skipped = []
    for calling_code in sorted(COUNTRY_CODE_TO_REGION_CODE):
        regions = [r for r in COUNTRY_CODE_TO_REGION_CODE[calling_code] if r != "001"]
        if not regions:
            continue  # non-geographic codes (satellite, international services)
        # libphonenumber names the code's main country first; for every shared code that is
        # also its most populous member (US for +1, RU for +7, GB for +44 ...).
        region = regions[0]
        if len(regions) > 1:
            shared.append("+%d %s (also %s)" % (calling_code, region, " ".join(regions[1:])))
        lang, how = language(region)
        if lang is None:
            skipped.append("+%d %s" % (calling_code, region))
            continue
        rows.append((iccid_code(calling_code), lang, region, how))
        if calling_code in ONE_DIGIT_ZONES:
            for second in range(10):
                rows.append(("%d%d" % (calling_code, second), lang, region, "zone"))
    for digits, region, _ in MCC_ROWS:
        lang, _ = language(region)
        rows.append((digits, lang, region, "mcc"))
    rows.sort(key=lambda row: row[0])

    with open(OUT, "w", encoding="ascii", newline="\n") as out:
        w = out.write
        w("# Device database, table language: country digits of an ICCID -> interface language.\n")
        w("# Generated by data/gen_language.py; do not edit by hand. Regenerate with\n")
        w("#   /usr/bin/python3 data/gen_language.py\n")
        w("# Calling codes: libphonenumber metadata (python3-phonenumbers %s).\n"
          % phonenumbers.__version__)
        w("# Languages: CLDR (python3-babel %s): the territory's most spoken official language\n"
          % babel.__version__)
        w("# with an ISO 639-1 code (official or de facto official); CLDR's likely language\n")
        w("# where it names none. Overrides, where that still misleads:\n")
        for region in sorted(OVERRIDES):
            w("#   %s %s: %s\n" % (region, OVERRIDES[region][0], OVERRIDES[region][1]))
        w("# Country_code is the E.164 calling code as an ICCID carries it after 89, at least\n")
        w("# two digits: +1 is 01, +7 is 07. The build also stores those two without their\n")
        w("# leading 0 (1, 7), the form in which SQLite reads the daemon's unquoted digits.\n")
        w("# Issuers of the +1 and +7 zones that leave the 0 out (8914..., 8970...) are found by\n")
        w("# the rows 10-19 and 70-79 (source zone); no other calling code begins with 1 or 7.\n")
        w("# Issuers that write their mobile country code instead (source mcc), and the clash\n")
        w("# each row accepts:\n")
        for digits, region, why in MCC_ROWS:
            w("#   %s %s: %s\n" % (digits, region, why))
        w("# Codes shared by several countries map to the main (most populous) one:\n")
        for line in shared:
            w("#   %s\n" % line)
        if skipped:
            w("# Left out (no two-letter language in CLDR): %s\n" % ", ".join(skipped))
        w("# Columns: Country_code,Language,region (ISO 3166),source of the language\n")
        w("Country_code,Language,Region,Source\n")
        for code, lang, region, how in rows:
            w("%s,%s,%s,%s\n" % (code, lang, region, how))
    print("wrote %d rows to %s" % (len(rows), OUT), file=sys.stderr)


if __name__ == "__main__":
    main()
