// Paradox 3.x and 4.x tables: a folder driver. The database is a folder and
// each table one .DB file in it (memo and binary fields of Paradox 4 keep their
// data in a .MB file beside it). Tables are written without a primary key and
// without index files, in 4 KiB blocks (the largest either version allows), and
// in Windows-1252; a Paradox 4 header declares code page 1252, a Paradox 3.5
// header has no place for one.
//
// Engine type            Paradox field   Notes
// ---------------------  --------------  ------------------------------------------
// Boolean                S (short)       True -1, False 0
// Byte, Integer          S (short)       -32768 is S's blank value: raises 3349
// Long, Single, Double   N (number)      8-byte double
// Currency               $ (currency)    8-byte double
// Date/Time              D (date)        the date part; no time of day is kept
// Text(n)                A(n) (alpha)    n = 1..255 characters
// GUID                   A38
// Memo                   M (memo)        Paradox 4 only (3259 on Paradox 3)
// Binary, Long binary    B (binary)      Paradox 4 only (3259 on Paradox 3)
//
// Null and an empty text are both stored blank and read back as Null; text
// fields therefore report AllowZeroLength, so that the engine lets "" through.
// A value that does not fit its field raises 3163 or 3349, never a silent cut.
// Field names are cut to 25 characters; a name that then collides with one
// already taken has its end replaced by _1, _2, ... Read back, S is Integer,
// N Double, $ Currency, D Date, A Text, M Memo and B Long binary (files from
// other programs may also hold I/+ as Long, L as Boolean, Y as Binary).
//
// Writers hold an exclusive advisory lock on the table's files for as long as
// the table is open for writing; a second writer gets 3045. A table that would
// need more than 65,535 blocks (256 MB) or a .MB file past 4 GB raises 3183.
#pragma once

#include "engine/driver.h"

#include <memory>

namespace engine::paradox {

std::unique_ptr<Driver> MakeDriver();

} // namespace engine::paradox
