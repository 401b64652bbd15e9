// The attributes the platform's directory knows and how it compares them:
// the same rules as the shipped slapd schema (schema/quellix.schema) and the
// real directory's matching rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace localplatform::directory {

struct AttributeRule {
    const char* name;
    bool caseInsensitive;  // equality, substring and ordering ignore case
    bool indexed;          // the embedded directory keeps an index
    bool binary;           // octet string: handed out as bytes
};

// Every attribute of the project schema and of the standard schemas it
// builds on (core, cosine, inetOrgPerson) that the embedded directory knows.
const std::vector<AttributeRule>& AttributeRules();
// The rule of an attribute (any letter case), or null when unknown.
const AttributeRule* FindAttributeRule(std::string_view name);

// Orders two UTF-8 texts as a person expects a name list sorted: letters
// without regard to case or accents first (Émile next to Emile, before
// Frank), then case and accents, then bytes. Returns <0, 0 or >0.
int CompareForSort(std::string_view a, std::string_view b);
// The first level of that order as bytes: two texts whose keys differ
// compare as their keys do (plain byte order); equal keys need
// CompareForSort. Lets a sort fold each text once.
std::string PrimarySortKey(std::string_view text);

}  // namespace localplatform::directory
