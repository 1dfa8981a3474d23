// Excel workbooks: the database is one Excel 5.0 (BIFF5) workbook in an OLE2
// compound file, each table one worksheet whose first row holds the field
// names. The connect names "Excel 3.0", "Excel 4.0" and "Excel 5.0" all write
// BIFF5: the two older formats could hold only one unnamed sheet.
//
// What a table's fields become in its sheet:
//   Boolean              BOOLERR
//   Byte, Integer, Long  RK (NUMBER where RK cannot hold the number)
//   Single, Double       RK or NUMBER
//   Currency             RK or NUMBER with a currency number format
//   Date                 serial day number of the workbook's date system with a
//                        date, date-time or time format; a date that system
//                        cannot show (before 1900) as its text
//   Text, Memo, GUID     LABEL in Windows-1252 (or the code page an existing
//                        workbook declares), up to 32,767 characters
//   Binary, Long binary  LABEL holding the bytes as hexadecimal digits
// Null and empty texts leave the cell empty. Rows are written to a spool file as
// they are added; the workbook itself is rewritten only at Close, into a
// temporary file beside it that then replaces it, with the other sheets and
// streams of the workbook copied as they were stored. Once adding a table or a
// record has failed, Close leaves the workbook as it was.
#pragma once

#include "engine/driver.h"

#include <memory>

namespace engine::excel {

std::unique_ptr<Driver> MakeDriver();

} // namespace engine::excel
