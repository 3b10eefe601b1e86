// Colours, font files and the older channel-memory-map lines, for the
// overlay manager, its commands and effects.  All functions are reentrant.
#pragma once

#include <json/json.h>

#include <map>
#include <string>

// 0xRRGGBB from "#rrggbb" (hex), a colour name ("red", "green", "blue",
// "yellow", "black", "white", "cyan", "magenta", "gray", "grey"; exact case)
// or a number in any C base ("16711680", "0xFF0000").  Throws
// std::invalid_argument ("stoul") for a text that is none of these, and
// std::out_of_range for a number beyond unsigned long.
unsigned mapColor(const std::string& text);
// The same without throwing; false for a bad text.  Values beyond 0xFFFFFF
// keep their low 24 bits.
bool tryMapColor(const std::string& text, unsigned& rgb);

// Adds every ".ttf" file below dir (recursively; dot entries and symbolic
// links skipped) as font name (file name without ".ttf") -> full path,
// replacing an earlier entry of that name.  dir ends with "/".
void findFonts(const std::string& dir, std::map<std::string, std::string>& fonts);
// The font names GraphicsMagick knows, each with an empty path.
void addMagickFonts(std::map<std::string, std::string>& fonts);

// The font file GraphicsMagick has for one of its font names, when that
// file exists; "" otherwise.
std::string magickFontFile(const std::string& name);

// One line of the older channel-memory-map file ("name,start,count,
// orientation,corner,strings,strands") as a model object; false for a
// comment, a line with a missing field, or a start or count below 1.
bool parseCMMLine(const std::string& line, Json::Value& model);
