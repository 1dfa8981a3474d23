// Workbook files for the Excel tests, built byte by byte from the BIFF5 and
// OLE2 format descriptions (libgsf makes the compound file), so that the
// driver is tested against workbooks it did not write itself.
#pragma once

#include <gsf/gsf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace engine::testing {

using Bytes = std::vector<std::uint8_t>;

struct Records {
    Bytes bytes;

    Records& Add(std::uint16_t id, const Bytes& data) {
        Put16(bytes, id);
        Put16(bytes, static_cast<std::uint16_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    static void Put16(Bytes& out, std::uint32_t v) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    static void Put32(Bytes& out, std::uint32_t v) {
        Put16(out, v & 0xFFFF);
        Put16(out, v >> 16);
    }
    static Bytes Words(std::initializer_list<std::uint32_t> words) {
        Bytes out;
        for (auto w : words)
            Put16(out, w);
        return out;
    }
    static Bytes Cell(int row, int col, int xf) {
        return Words({std::uint32_t(row), std::uint32_t(col), std::uint32_t(xf)});
    }
    static Bytes Double(double v) {
        Bytes out(8);
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 0; i < 8; ++i)
            out[std::size_t(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
        return out;
    }
    static Bytes Join(Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static Bytes Str16(const std::string& s) {
        Bytes out;
        Put16(out, std::uint32_t(s.size()));
        out.insert(out.end(), s.begin(), s.end());
        return out;
    }
    static Bytes Str8(const std::string& s) {
        Bytes out{static_cast<std::uint8_t>(s.size())};
        out.insert(out.end(), s.begin(), s.end());
        return out;
    }
};

// An OLE2 compound file holding the given streams.
inline bool WriteCompoundFile(const std::string& path,
                              const std::vector<std::pair<std::string, Bytes>>& streams) {
    gsf_init();
    GError* error = nullptr;
    GsfOutput* sink = gsf_output_stdio_new(path.c_str(), &error);
    if (sink == nullptr) {
        g_clear_error(&error);
        return false;
    }
    GsfOutfile* ole = gsf_outfile_msole_new(sink);
    for (const auto& [name, data] : streams) {
        // "storage/stream" puts the stream in a storage of its own.
        const std::size_t slash = name.find('/');
        GsfOutfile* parent = ole;
        GsfOutput* storage = nullptr;
        if (slash != std::string::npos) {
            storage = gsf_outfile_new_child(ole, name.substr(0, slash).c_str(), TRUE);
            parent = GSF_OUTFILE(storage);
        }
        const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
        GsfOutput* child = gsf_outfile_new_child(parent, leaf.c_str(), FALSE);
        gsf_output_write(child, data.size(), data.data());
        gsf_output_close(child);
        g_object_unref(child);
        if (storage != nullptr) {
            gsf_output_close(storage);
            g_object_unref(storage);
        }
    }
    gsf_output_close(GSF_OUTPUT(ole));
    g_object_unref(ole);
    g_object_unref(sink);
    return true;
}

// The streams of a compound file by name, those of storages as
// "storage/stream"; empty on failure.
inline std::vector<std::pair<std::string, Bytes>> ReadCompoundFile(const std::string& path) {
    gsf_init();
    std::vector<std::pair<std::string, Bytes>> streams;
    GError* error = nullptr;
    GsfInput* input = gsf_input_stdio_new(path.c_str(), &error);
    if (input == nullptr) {
        g_clear_error(&error);
        return streams;
    }
    GsfInfile* ole = gsf_infile_msole_new(input, &error);
    if (ole != nullptr) {
        for (int i = 0; i < gsf_infile_num_children(ole); ++i) {
            GsfInput* child = gsf_infile_child_by_index(ole, i);
            const std::string name = gsf_infile_name_by_index(ole, i);
            GsfInfile* storage = GSF_INFILE(child);
            if (gsf_infile_num_children(storage) >= 0) {
                // A storage: its streams as "storage/stream".
                for (int k = 0; k < gsf_infile_num_children(storage); ++k) {
                    GsfInput* inner = gsf_infile_child_by_index(storage, k);
                    Bytes data(static_cast<std::size_t>(gsf_input_size(inner)));
                    if (!data.empty()) gsf_input_read(inner, data.size(), data.data());
                    streams.emplace_back(name + "/" + gsf_infile_name_by_index(storage, k),
                                         std::move(data));
                    g_object_unref(inner);
                }
            } else {
                Bytes data(static_cast<std::size_t>(gsf_input_size(child)));
                if (!data.empty()) gsf_input_read(child, data.size(), data.data());
                streams.emplace_back(name, std::move(data));
            }
            g_object_unref(child);
        }
        g_object_unref(ole);
    }
    g_clear_error(&error);
    g_object_unref(input);
    return streams;
}

inline Bytes StreamNamed(const std::vector<std::pair<std::string, Bytes>>& streams,
                         const std::string& name) {
    for (const auto& [n, data] : streams)
        if (n == name) return data;
    return {};
}

inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace engine::testing
