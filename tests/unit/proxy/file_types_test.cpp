#include "proxy/file_types.h"

#include <string>

#include <gtest/gtest.h>

namespace kv::proxy {
namespace {

struct Row {
    const char* extension;
    const char* mime_type;
    const char* encoding;
    const char* icon;
    const char* description;
};

// The table as a user of the listings and downloads sees it, row by row.
constexpr Row kRows[] = {
    {"???", "text/plain", "", "unknown", ""},
    {"!!!", "application/octet-stream", "", "unknown", ""},
    {"Z", "application/x-compressed", "x-compress", "binary", "Compressed Data"},
    {"ai", "application/postscript", "8bit", "text", "AI Text"},
    {"aif", "audio/x-aiff", "binary", "sound", "AIFF Audio"},
    {"aifc", "audio/x-aiff", "binary", "sound", "AIFF Audio"},
    {"aiff", "audio/x-aiff", "binary", "sound", "AIFF Audio"},
    {"arj", "application/x-arj", "arj", "binary", "ARJ Compressed Data"},
    {"au", "audio/basic", "binary", "sound", "AU Audio"},
    {"avi", "video/x-msvideo", "binary", "movie", "AVI Video"},
    {"bat", "text/plain", "7bit", "text", "Batch File"},
    {"msg", "text/plain", "7bit", "text", "Message File"},
    {"bcpio", "application/x-bcpio", "binary", "binary", "Binary"},
    {"bin", "application/macbinary", "macbinary", "binary", "Binary"},
    {"bmp", "image/x-MS-bmp", "binary", "image", "MS Bitmap"},
    {"c", "text/plain", "7bit", "text", "C Source-Text"},
    {"cc", "text/plain", "7bit", "text", "CC Source-Text"},
    {"cdf", "application/x-netcdf", "binary", "binary", "Binary"},
    {"cpio", "application/x-cpio", "binary", "binary", "Binary"},
    {"cpp", "text/plain", "7bit", "text", "CPP Source-Text"},
    {"csh", "application/x-csh", "7bit", "text", "CSH Text"},
    {"dll", "application/octet-stream", "binary", "binary", "Dynamic-Link Library"},
    {"doc", "application/msword", "binary", "binary", "Document"},
    {"dvi", "application/x-dvi", "binary", "binary", "Binary"},
    {"eps", "application/postscript", "8bit", "text", "EPS Postscript"},
    {"etx", "text/x-setext", "7bit", "text", "Text"},
    {"exe", "application/octet-stream", "binary", "binary", "Executable"},
    {"f90", "text/plain", "7bit", "text", "Text"},
    {"gif", "image/gif", "binary", "image", "CompuServe Graphic Format"},
    {"gtar", "application/x-gtar", "binary", "binary", "Binary"},
    {"gz", "application/x-gzip", "x-gzip", "binary", "GZip Compressed Data"},
    {"h", "text/plain", "7bit", "text", "H Header-Text"},
    {"hdf", "application/x-hdf", "binary", "binary", "Binary"},
    {"hh", "text/plain", "7bit", "text", "HH Header-Text"},
    {"hqx", "application/mac-binhex40", "mac-binhex40", "binary", "Binary Hexadecimal"},
    {"htm", "text/html", "8bit", "text", "Hypertext File"},
    {"html", "text/html", "8bit", "text", "Hypertext File"},
    {"ief", "image/ief", "binary", "image", "IEF Image"},
    {"jpe", "image/jpeg", "binary", "image", "JPEG Image"},
    {"jpeg", "image/jpeg", "binary", "image", "JPEG Image"},
    {"jpg", "image/jpeg", "binary", "image", "JPEG Image"},
    {"latex", "application/x-latex", "8bit", "text", "LaTeX File"},
    {"m", "text/plain", "7bit", "text", "Text"},
    {"man", "application/x-troff-man", "7bit", "text", "Manual Pages"},
    {"me", "application/x-troff-me", "7bit", "text", "Manual Pages"},
    {"mid", "audio/midi", "binary", "binary", "MIDI Audio"},
    {"midi", "audio/midi", "binary", "binary", "MIDI Audio"},
    {"mif", "application/x-mif", "binary", "binary", "Binary"},
    {"mime", "www/mime", "8bit", "text", "MIME Text"},
    {"mov", "video/quicktime", "binary", "movie", "MOV Video"},
    {"movie", "video/x-sgi-movie", "binary", "movie", "MOV Video"},
    {"mpe", "video/mpeg", "binary", "movie", "MPEG Video"},
    {"mpeg", "video/mpeg", "binary", "movie", "MPEG Video"},
    {"mpg", "video/mpeg", "binary", "movie", "MPEG Video"},
    {"ms", "application/x-troff-ms", "7bit", "text", "Text"},
    {"msw", "application/msword", "binary", "binary", "MS Word File"},
    {"mwrt", "application/macwriteii", "binary", "binary", "MacWrite File"},
    {"nc", "application/x-netcdf", "binary", "binary", "Binary"},
    {"oda", "application/oda", "binary", "binary", "Binary"},
    {"pbm", "image/x-portable-bitmap", "binary", "image", "PBM Image"},
    {"pdf", "application/pdf", "binary", "binary", "Binary"},
    {"pgm", "image/x-portable-graymap", "binary", "image", "PGM Image"},
    {"pic", "application/pict", "binary", "image", "PICT Image"},
    {"pict", "application/pict", "binary", "image", "PICT Image"},
    {"pnm", "image/x-portable-anymap", "binary", "image", "PNM Image"},
    {"ppm", "image/x-portable-pixmap", "binary", "image", "PPM Image"},
    {"ps", "application/postscript", "8bit", "text", "PS Postscript"},
    {"qt", "video/quicktime", "binary", "movie", "QT Video"},
    {"ras", "image/cmu-raster", "binary", "image", "Raster Image"},
    {"rgb", "image/x-rgb", "binary", "image", "RGB Image"},
    {"roff", "application/x-troff", "7bit", "text", "Text"},
    {"rtf", "application/x-rtf", "7bit", "binary", "RTF Binary"},
    {"rtx", "text/richtext", "7bit", "text", "RTX Text"},
    {"sh", "application/x-sh", "7bit", "text", "Text"},
    {"shar", "application/x-shar", "8bit", "text", "Text"},
    {"sit", "application/stuffit", "binary", "binary", "Binary"},
    {"snd", "audio/basic", "binary", "sound", "SND Audio"},
    {"src", "application/x-wais-source", "7bit", "text", "Text"},
    {"sv4cpio", "application/x-sv4cpio", "binary", "binary", "Binary"},
    {"sv4crc", "application/x-sv4crc", "binary", "binary", "Binary"},
    {"t", "application/x-troff", "7bit", "text", "Text"},
    {"tar", "application/x-tar", "binary", "binary", "Tar Compressed Data"},
    {"tcl", "application/x-tcl", "7bit", "text", "Text"},
    {"tex", "application/x-tex", "8bit", "text", "Text"},
    {"texi", "application/x-texinfo", "7bit", "text", "Text"},
    {"texinfo", "application/x-texinfo", "7bit", "text", "Text"},
    {"tgz", "application/x-gzip", "x-gzip", "binary", "GZip Compressed Data"},
    {"tif", "image/tiff", "binary", "image", "TIFF Image"},
    {"tiff", "image/tiff", "binary", "image", "TIFF Image"},
    {"tr", "application/x-troff", "7bit", "text", "Text"},
    {"tsv", "text/tab-separated-values", "7bit", "text", "Text"},
    {"txt", "text/plain", "7bit", "text", "Text"},
    {"ustar", "application/x-ustar", "binary", "binary", "Binary"},
    {"wav", "audio/x-wav", "binary", "sound", "WAV Audio"},
    {"xbm", "image/x-xbitmap", "binary", "image", "XBM Image"},
    {"xpm", "image/x-xpixmap", "binary", "image", "XPM Image"},
    {"xwd", "image/x-xwindowdump", "binary", "image", "XWD Image"},
    {"zip", "application/zip", "zip", "binary", "Zip Compressed Data"},
    {"viv", "video/vnd.vivo", "binary", "movie", "VivoActive Player"},
    {"vivo", "video/vnd.vivo", "binary", "movie", "VivoActive Player"},};

TEST(FileTypes, EveryRowInOrderAndFoundByItsExtension) {
    std::size_t count = 0;
    const FileType* table = file_type_table(&count);
    ASSERT_EQ(count, std::size(kRows));
    for (std::size_t i = 0; i < count; ++i) {
        const Row& want = kRows[i];
        EXPECT_STREQ(table[i].extension, want.extension) << "row " << i;
        EXPECT_STREQ(table[i].mime_type, want.mime_type) << "row " << i;
        EXPECT_STREQ(table[i].encoding, want.encoding) << "row " << i;
        EXPECT_STREQ(table[i].icon, want.icon) << "row " << i;
        EXPECT_STREQ(table[i].description, want.description) << "row " << i;
        if (i < 2) continue;
        const std::string name = std::string("file.") + want.extension;
        EXPECT_EQ(&file_type_of(name.c_str()), &table[i]) << "row " << i;
    }
}

TEST(FileTypes, LookupByLastDotWithoutCase) {
    struct Case {
        const char* name;
        const char* extension;
    };
    constexpr Case kCases[] = {
        {"ARCHIVE.TAR", "tar"},       {"archive.tar.gz", "gz"}, {"README", "???"},  {"trailing.", "!!!"},
        {"odd.qqq", "!!!"},           {"x.Jpeg", "jpeg"},       {"pic.z", "Z"},     {".profile", "!!!"},
        {"dir.v1/file", "!!!"},       {"", "???"},              {"a.HTML", "html"},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i)
        EXPECT_STREQ(file_type_of(kCases[i].name).extension, kCases[i].extension) << "row " << i;
    EXPECT_STREQ(file_type_of("README").mime_type, "text/plain");
    EXPECT_STREQ(file_type_of("odd.qqq").mime_type, "application/octet-stream");
}

}  // namespace
}  // namespace kv::proxy
