#include "dash_manifest.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

namespace sprites {

namespace {

constexpr const char* kTileScheme = "http://dashif.org/thumbnail_tile";

// An element's name without its namespace prefix.
std::string_view localName(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::vector<pugi::xml_node> childrenNamed(const pugi::xml_node& parent, std::string_view name) {
  std::vector<pugi::xml_node> found;
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && localName(child) == name) found.push_back(child);
  }
  return found;
}

// The prefix ("" or "mpd:") of `node`'s name, for elements made beside it.
std::string prefixOf(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? "" : std::string(name.substr(0, colon + 1));
}

std::string isoDuration(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "PT%.3fS", std::max(seconds, 0.0));
  return text;
}

// A timescale that keeps a sheet's duration exact to a microsecond where it fits 32 bits, as
// some players read it.
std::pair<uint64_t, uint64_t> timescaleAndDuration(double sheetSeconds) {
  uint64_t timescale = 1000000;
  while (timescale > 1 && sheetSeconds * static_cast<double>(timescale) > 4294967295.0) {
    timescale /= 10;
  }
  const double ticks = std::llround(sheetSeconds * static_cast<double>(timescale));
  return {timescale, static_cast<uint64_t>(std::clamp(ticks, 1.0, 4294967295.0))};
}

std::string grid(int columns, int rows) {
  return std::to_string(columns) + "x" + std::to_string(rows);
}

// Whitespace for the children of a node indented by `indent`.
std::string deeper(const std::string& indent) {
  return indent + (indent.ends_with(' ') ? "  " : "\t");
}

void addText(pugi::xml_node parent, const std::string& text) {
  if (!text.empty()) parent.append_child(pugi::node_pcdata).set_value(text.c_str());
}

// Fills an empty AdaptationSet element, its children indented one step below `indent`.
void fillTileSet(pugi::xml_node set, const std::string& id, const std::string& representationId,
                 const SpritePlan& plan, const TileSet& tiles, const std::string& prefix,
                 const std::string& indent) {
  const Sheet& first = plan.sheets.front();
  const double sheetSeconds = plan.interval * first.cellsW * first.cellsH;
  const auto [timescale, duration] = timescaleAndDuration(sheetSeconds);
  set.append_attribute("id") = id.c_str();
  set.append_attribute("contentType") = "image";
  set.append_attribute("mimeType") = "image/jpeg";
  const std::string in = deeper(indent), in2 = deeper(in);
  const bool pretty = !indent.empty();
  addText(set, pretty ? "\n" + in : "");
  pugi::xml_node segments = set.append_child((prefix + "SegmentTemplate").c_str());
  segments.append_attribute("media") = tiles.media.c_str();
  segments.append_attribute("timescale") = std::to_string(timescale).c_str();
  segments.append_attribute("duration") = std::to_string(duration).c_str();
  segments.append_attribute("startNumber") = "1";
  addText(set, pretty ? "\n" + in : "");
  pugi::xml_node representation = set.append_child((prefix + "Representation").c_str());
  representation.append_attribute("id") = representationId.c_str();
  representation.append_attribute("bandwidth") = std::to_string(tiles.bandwidth).c_str();
  representation.append_attribute("width") = first.cellsW * plan.layout.cellW;
  representation.append_attribute("height") = first.cellsH * plan.layout.cellH;
  addText(representation, pretty ? "\n" + in2 : "");
  pugi::xml_node property = representation.append_child((prefix + "EssentialProperty").c_str());
  property.append_attribute("schemeIdUri") = kTileScheme;
  property.append_attribute("value") = grid(first.cellsW, first.cellsH).c_str();
  addText(representation, pretty ? "\n" + in : "");
  addText(set, pretty ? "\n" + indent : "");
}

bool isOurSet(const pugi::xml_node& set, const TileSet& tiles) {
  if (std::string_view(set.attribute("contentType").value()) != "image" &&
      !std::string_view(set.attribute("mimeType").value()).starts_with("image/")) {
    return false;
  }
  const std::vector<pugi::xml_node> templates = childrenNamed(set, "SegmentTemplate");
  return !templates.empty() && tiles.media == templates.front().attribute("media").value();
}

// The whitespace in front of `node`, when the text before it is whitespace ending a line.
std::string indentBefore(const pugi::xml_node& node) {
  const pugi::xml_node before = node.previous_sibling();
  if (before.type() != pugi::node_pcdata) return "";
  const std::string text = before.value();
  const size_t newline = text.rfind('\n');
  if (newline == std::string::npos || text.find_first_not_of(" \t\r\n") != std::string::npos) {
    return "";
  }
  return text.substr(newline + 1);
}

// Every id the elements named `name` at or below `root` use.
std::vector<std::string> idsOf(const pugi::xml_node& root, const char* name) {
  std::vector<std::string> ids;
  const std::string query = std::string("descendant-or-self::*[local-name()='") + name + "']";
  for (const pugi::xpath_node& found : root.select_nodes(query.c_str())) {
    if (found.node().attribute("id")) ids.emplace_back(found.node().attribute("id").value());
  }
  return ids;
}

std::string freshSetId(const std::vector<std::string>& ids) {
  long long most = -1;
  for (const std::string& id : ids) {
    char* end = nullptr;
    const long long v = std::strtoll(id.c_str(), &end, 10);
    if (id.empty() || *end != '\0') return "thumbnails";
    most = std::max(most, v);
  }
  return std::to_string(most + 1);
}

std::string freshRepresentationId(const SpritePlan& plan, const std::vector<std::string>& ids) {
  const std::string base = "thumbnails_" + grid(plan.layout.cellW, plan.layout.cellH);
  std::string id = base;
  for (int n = 2; std::find(ids.begin(), ids.end(), id) != ids.end(); ++n) {
    id = base + "_" + std::to_string(n);
  }
  return id;
}

// Where a node's text begins in the parsed buffer (pugixml knows where its name or value is).
size_t startOf(const pugi::xml_node& node) {
  const ptrdiff_t at = node.offset_debug();
  switch (node.type()) {
    case pugi::node_element:
      return static_cast<size_t>(at - 1);  // "<"
    case pugi::node_comment:
      return static_cast<size_t>(at - 4);  // "<!--"
    case pugi::node_cdata:
      return static_cast<size_t>(at - 9);  // "<![CDATA["
    case pugi::node_pi:
      return static_cast<size_t>(at - 2);  // "<?"
    default:
      return static_cast<size_t>(at);
  }
}

// Where an element's text ends: where the next node begins, or, for a last child, where its
// parent's closing tag does.
size_t endOf(std::string_view text, const pugi::xml_node& node) {
  if (const pugi::xml_node next = node.next_sibling()) return startOf(next);
  return text.rfind(std::string("</") + node.parent().name());
}

// One edit of the text: [begin, end) becomes `with`.
struct Splice {
  size_t begin, end;
  std::string with;
};

std::string spliced(std::string_view text, std::vector<Splice> edits) {
  std::sort(edits.begin(), edits.end(),
            [](const Splice& a, const Splice& b) { return a.begin > b.begin; });
  std::string out(text);
  for (const Splice& e : edits) out.replace(e.begin, e.end - e.begin, e.with);
  return out;
}

// The AdaptationSet as text, its children indented below `indent`.
std::string tileSetText(const std::string& id, const std::string& representationId,
                        const SpritePlan& plan, const TileSet& tiles, const std::string& prefix,
                        const std::string& indent) {
  pugi::xml_document scratch;
  pugi::xml_node set = scratch.append_child((prefix + "AdaptationSet").c_str());
  fillTileSet(set, id, representationId, plan, tiles, prefix, indent);
  std::ostringstream printed;
  set.print(printed, "", pugi::format_raw, pugi::encoding_utf8);
  return printed.str();
}

}  // namespace

std::string sheetTemplate(const std::string& folderUri) {
  return (folderUri.empty() ? "" : folderUri + "/") + "sheet-$Number%03d$.jpg";
}

std::string thumbnailMpd(const SpritePlan& plan, const TileSet& tiles) {
  const std::string length = isoDuration(plan.duration);
  std::string mpd =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
      "profiles=\"urn:mpeg:dash:profile:isoff-live:2011\" type=\"static\" "
      "mediaPresentationDuration=\"" +
      length +
      "\" minBufferTime=\"PT2.0S\">\n\t<Period id=\"0\" start=\"PT0.0S\">\n\t</Period>\n</MPD>\n";
  return withTileSet(mpd, plan, tiles);
}

std::string withTileSet(std::string_view mpd, const SpritePlan& plan, const TileSet& tiles) {
  pugi::xml_document doc;
  const unsigned options = pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype |
                           pugi::parse_pi | pugi::parse_comments | pugi::parse_ws_pcdata;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(mpd.data(), mpd.size(), options, pugi::encoding_utf8);
  if (!parsed) {
    throw DashError(std::string("not XML: ") + parsed.description() + " at byte " +
                    std::to_string(parsed.offset));
  }
  const pugi::xml_node root = doc.document_element();
  if (localName(root) != "MPD") throw DashError("its root element is not MPD");
  const std::vector<pugi::xml_node> periods = childrenNamed(root, "Period");
  if (periods.size() != 1) {
    throw DashError("it has " + std::to_string(periods.size()) +
                    " Periods; thumbnails go into an MPD of one Period");
  }
  const pugi::xml_node period = periods.front();
  const std::string prefix = prefixOf(root);
  const std::vector<pugi::xml_node> sets = childrenNamed(period, "AdaptationSet");
  std::vector<pugi::xml_node> earlier;
  for (const pugi::xml_node& set : sets) {
    if (isOurSet(set, tiles)) earlier.push_back(set);
  }

  // Ids: the earlier set's, else a new one; the Representation's unique in the Period.
  std::vector<std::string> setIds, representationIds = idsOf(period, "Representation");
  for (const pugi::xml_node& set : sets) {
    if (set.attribute("id")) setIds.emplace_back(set.attribute("id").value());
  }
  for (const pugi::xml_node& old : earlier) {
    for (const std::string& oldId : idsOf(old, "Representation"))
      std::erase(representationIds, oldId);
  }
  std::string id = earlier.empty() ? freshSetId(setIds) : earlier.front().attribute("id").value();
  if (id.empty()) id = freshSetId(setIds);
  const std::string representationId = freshRepresentationId(plan, representationIds);

  std::vector<Splice> edits;
  if (!earlier.empty()) {
    // In the earlier set's place; any further copies go, with the line they stood on.
    const pugi::xml_node first = earlier.front();
    edits.push_back({startOf(first), endOf(mpd, first),
                     tileSetText(id, representationId, plan, tiles, prefix, indentBefore(first))});
    for (size_t i = 1; i < earlier.size(); ++i) {
      const pugi::xml_node before = earlier[i].previous_sibling();
      const bool ownLine = before.type() == pugi::node_pcdata && !indentBefore(earlier[i]).empty();
      edits.push_back(
          {ownLine ? startOf(before) : startOf(earlier[i]), endOf(mpd, earlier[i]), ""});
    }
  } else if (!sets.empty()) {
    const pugi::xml_node last = sets.back();
    const std::string indent = indentBefore(last);
    const size_t at = endOf(mpd, last);
    edits.push_back({at, at,
                     (indent.empty() ? "" : "\n" + indent) +
                         tileSetText(id, representationId, plan, tiles, prefix, indent)});
  } else {
    // A Period without sets: the set goes on a line of its own, before the whitespace that
    // ends the Period.
    const std::string outer = indentBefore(period);
    const std::string indent = deeper(outer);
    const pugi::xml_node last = period.last_child();
    size_t at;
    if (!last) {
      at = mpd.find('>', startOf(period));
      if (at == std::string_view::npos || mpd[at - 1] == '/')
        throw DashError("its Period is empty");
      ++at;
    } else {
      at = last.type() == pugi::node_pcdata ? startOf(last) : endOf(mpd, last);
    }
    const bool closedOnItsLine = last && last.type() == pugi::node_pcdata;
    edits.push_back({at, at,
                     "\n" + indent +
                         tileSetText(id, representationId, plan, tiles, prefix, indent) +
                         (closedOnItsLine ? "" : "\n" + outer)});
  }
  return spliced(mpd, std::move(edits));
}

}  // namespace sprites
