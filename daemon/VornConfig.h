#pragma once
// VornConfig: a general INI holder, a wide-character property tree read from a
// UTF-8 file ("[section]" lines, "key = value" lines, ";" and "#" comments).

#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <string>

class VornConfig {
public:
    // A configuration file larger than this is refused rather than read.
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

    // Replaces the tree with the content of the file (an empty file gives an
    // empty tree). A file that cannot be opened or read, or is not a regular
    // file, a syntax error, text that is not UTF-8 or an oversized file throws
    // zException naming the file and the fault; the tree is then unchanged.
    void open(const std::wstring& path);

    // Parses INI text (already decoded) into the tree; `origin` names it in
    // error messages.
    void parse(const std::wstring& text, const std::wstring& origin);

    const boost::property_tree::wptree& tree() const { return _tree; }

protected:
    boost::property_tree::wptree _tree;
};
