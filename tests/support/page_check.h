// Test support: checks of the page of a run (index.html), for the page's own
// tests and for those that run the real program: its HTML as a browser reads
// it, its links, its PNG pictures, and a screenshot of it in headless
// Chromium.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PageLink {
    std::string href; // percent-decoded
    std::string text; // with its character references decoded
};

struct PageFacts {
    std::vector<PageLink> links;
    std::vector<std::string> pictures; // the base64 of each valid PNG picture, in order
    int emptyPlaces = 0;               // places of pictures that could not be made
    std::string text;                  // the text outside the tags, references decoded
};

// Checks the page and gathers its facts; the problems found, one a line, ""
// for none: no <!DOCTYPE html> or UTF-8 meta, an element not closed or
// closed out of order, a '<' or '&' in text that is not markup, an attribute
// value not in double quotes, a script, anything fetched from elsewhere (a
// src other than data:, an href with a scheme or from the root, url( or
// @import in the style), and each img whose src is not a PNG of its width
// and height (see CheckPng) or that has no alt text.
std::string CheckPage(const std::string& html, PageFacts& facts);

// The problems of a PNG file that should be 8-bit RGB of width x height, not
// interlaced: its signature, the CRC of each chunk, IHDR first with that
// size, IEND last, and IDAT that inflates with zlib to height rows of a
// filter byte (0 to 4) and 3 * width bytes.
std::string CheckPng(const std::vector<std::uint8_t>& png, int width, int height);

// The bytes of base64 text; false on a character outside the alphabet or a
// length that is not a multiple of 4.
bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>& bytes);

// %XX sequences as the bytes they stand for.
std::string PercentDecoded(const std::string& text);

// True when `chromium` is on the PATH (looked up once).
bool ChromiumAvailable();

// Opens the page (an absolute path) in headless Chromium, 1280 x 900, and
// takes a screenshot of it into `shot`; the problems found, "" for none:
// no screenshot within a minute, one that ffmpeg cannot decode, fewer than
// 8% of its pixels other than the background's grey level, or fewer than 12
// grey levels that each cover 1000 pixels (the text of a page without
// pictures gives 5, grey boxes one more: the pictures give the rest).
// Chromium's own messages are ignored.
std::string ScreenshotProblems(const std::string& page, const std::string& shot);
