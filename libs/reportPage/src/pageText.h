// The page's text: the data the script draws, made safe to inline, and the
// template filled in.
#pragma once

#include <string>

#include "reportSeries.h"

namespace lumo::reportPage {

// The texts embedded at build time (pageAssets.cpp, generated).
std::string PageTemplate();
std::string PageStyle();
std::string PageScript();
std::string ChartLibrary();
std::string ChartLibraryLicence();

// `text` with &, <, >, " and ' as character references.
std::string EscapeHtml(const std::string& text);

// Compact JSON of what the page draws, with <, > and & written as \u
// escapes so that no string from the report can end the script element
// that holds it ("</script>") or open a comment.
std::string PageData(const ReportSeries& series);

// The whole page.
std::string RenderPage(const ReportSeries& series);

} // namespace lumo::reportPage
