/* An independent reader for the tests: prints a Paradox table as pxlib sees
 * it. Usage: pxlib_reader TABLE.DB [TABLE.MB]
 *
 * Output, one item per line:
 *   header <fileversion> <filetype> <maxtablesize> <records> <blocks> <codepage>
 *          <recordsize> <headersize> <primarykeyfields>
 *   table <name>
 *   field <name> <type code> <length>
 *   record <value>|<value>|...
 * Values: "-" for blank; alpha text and blobs escaped (\\, \|, \n, \xHH for
 * bytes outside printable ASCII); numbers with %.17g; dates as day numbers.
 *
 * pxlib's own scan of a .MB file (PX_open_blob_file) reads past a stack
 * buffer in Debian's 0.6.8, so the blob file is attached here by hand: pxlib's
 * blob reader (PX_get_data_blob) then only follows the references it is given.
 */
#include <paradox.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void error_handler(pxdoc_t* p, int type, const char* msg, void* data) {
    (void)p;
    (void)data;
    fprintf(stderr, "pxlib error %d: %s\n", type, msg);
}

static size_t blob_read(pxblob_t* b, pxstream_t* s, size_t n, void* buffer) {
    (void)b;
    return fread(buffer, 1, n, s->s.fp);
}
static int blob_seek(pxblob_t* b, pxstream_t* s, long offset, int whence) {
    (void)b;
    return fseek(s->s.fp, offset, whence);
}
static long blob_tell(pxblob_t* b, pxstream_t* s) {
    (void)b;
    return ftell(s->s.fp);
}

static void print_escaped(const unsigned char* data, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned char c = data[i];
        if (c == '\\' || c == '|')
            printf("\\%c", c);
        else if (c == '\n')
            printf("\\n");
        else if (c < 0x20 || c >= 0x7f)
            printf("\\x%02x", c);
        else
            putchar(c);
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s TABLE.DB [TABLE.MB]\n", argv[0]);
        return 2;
    }
    PX_boot();
    pxdoc_t* doc = PX_new2(error_handler, NULL, NULL, NULL);
    if (doc == NULL || PX_open_file(doc, argv[1]) < 0) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    FILE* mb = NULL;
    pxstream_t* stream = NULL;
    if (argc > 2) {
        mb = fopen(argv[2], "rb");
        if (mb == NULL) {
            fprintf(stderr, "cannot open %s\n", argv[2]);
            return 1;
        }
        pxblob_t* blob = PX_new_blob(doc);
        stream = calloc(1, sizeof *stream);
        stream->type = pxfIOFile;
        stream->mode = pxfFileRead;
        stream->s.fp = mb;
        blob->mb_stream = stream;
        blob->read = blob_read;
        blob->seek = blob_seek;
        blob->tell = blob_tell;
    }
    pxhead_t* h = doc->px_head;
    printf("header %d %d %d %d %u %d %d %d %d\n", h->px_fileversion, h->px_filetype,
           h->px_maxtablesize, h->px_numrecords, h->px_fileblocks, h->px_doscodepage,
           h->px_recordsize, h->px_headersize, h->px_primarykeyfields);
    printf("table %s\n", h->px_tablename ? h->px_tablename : "");
    for (int i = 0; i < h->px_numfields; i++) {
        pxfield_t* f = &h->px_fields[i];
        printf("field %s %d %d\n", f->px_fname, f->px_ftype, f->px_flen);
    }
    char* record = malloc((size_t)h->px_recordsize);
    for (int r = 0; r < h->px_numrecords; r++) {
        if (PX_get_record(doc, r, record) == NULL) {
            printf("missing %d\n", r);
            continue;
        }
        printf("record ");
        int offset = 0;
        for (int i = 0; i < h->px_numfields; i++) {
            pxfield_t* f = &h->px_fields[i];
            char* data = record + offset;
            if (i > 0) putchar('|');
            switch (f->px_ftype) {
            case pxfAlpha: {
                char* value = NULL;
                if (PX_get_data_alpha(doc, data, f->px_flen, &value) > 0 && value) {
                    print_escaped((unsigned char*)value, strlen(value));
                    doc->free(doc, value);
                } else {
                    putchar('-');
                }
                break;
            }
            case pxfShort: {
                short value;
                if (PX_get_data_short(doc, data, f->px_flen, &value) > 0)
                    printf("%d", value);
                else
                    putchar('-');
                break;
            }
            case pxfDate: {
                long value;
                if (PX_get_data_long(doc, data, f->px_flen, &value) > 0)
                    printf("%ld", value);
                else
                    putchar('-');
                break;
            }
            case pxfNumber:
            case pxfCurrency: {
                double value;
                if (PX_get_data_double(doc, data, f->px_flen, &value) > 0)
                    printf("%.17g", value);
                else
                    putchar('-');
                break;
            }
            case pxfMemoBLOb:
            case pxfBLOb: {
                int mod = 0, size = 0;
                char* value = NULL;
                int got = PX_get_data_blob(doc, data, f->px_flen, &mod, &size, &value);
                if (got > 0 && value) {
                    print_escaped((unsigned char*)value, (size_t)size);
                    doc->free(doc, value);
                } else if (got == 0) {
                    putchar('-');
                } else {
                    printf("<blob error>");
                }
                break;
            }
            default:
                printf("?");
            }
            offset += f->px_flen;
        }
        putchar('\n');
    }
    free(record);
    if (doc->px_blob) {
        doc->px_blob->mb_stream = NULL;
        PX_delete_blob(doc->px_blob);
        doc->px_blob = NULL;
    }
    free(stream);
    if (mb) fclose(mb);
    PX_close(doc);
    PX_delete(doc);
    return 0;
}
