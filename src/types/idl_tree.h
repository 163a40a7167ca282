/* A C view of the declaration tree that Cyclone's IDL library builds: the
 * library's headers are C only, so C++ code reads the tree through this. */
#ifndef RNR_MIDDLEWARE_TYPES_IDL_TREE_H
#define RNR_MIDDLEWARE_TYPES_IDL_TREE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum rnr_idl_kind {
  RNR_IDL_OTHER,
  RNR_IDL_MODULE,
  RNR_IDL_STRUCT,
  RNR_IDL_UNION,
  RNR_IDL_ENUM,
  RNR_IDL_BITMASK,
  RNR_IDL_ALIAS, /* a typedef declarator */
  RNR_IDL_FORWARD,
  RNR_IDL_STRING,
  RNR_IDL_WSTRING,
  RNR_IDL_SEQUENCE,
  RNR_IDL_BASE,
  RNR_IDL_MEMBER,
  RNR_IDL_DECLARATOR,
  RNR_IDL_CASE,
  RNR_IDL_CASE_LABEL,
  RNR_IDL_ENUMERATOR,
  RNR_IDL_BIT_VALUE,
  RNR_IDL_LITERAL
};

enum rnr_idl_base {
  RNR_IDL_BOOL,
  RNR_IDL_OCTET,
  RNR_IDL_CHAR,
  RNR_IDL_WCHAR,
  RNR_IDL_INT8,
  RNR_IDL_UINT8,
  RNR_IDL_INT16,
  RNR_IDL_UINT16,
  RNR_IDL_INT32,
  RNR_IDL_UINT32,
  RNR_IDL_INT64,
  RNR_IDL_UINT64,
  RNR_IDL_FLOAT,
  RNR_IDL_DOUBLE,
  RNR_IDL_LDOUBLE,
  RNR_IDL_UNSUPPORTED
};

enum rnr_idl_extensibility { RNR_IDL_FINAL, RNR_IDL_APPENDABLE, RNR_IDL_MUTABLE };

/* What one node holds; the fields that do not apply to its kind are zero. */
struct rnr_idl_node {
  enum rnr_idl_kind kind;
  const char* name;       /* identifier of a named node */
  const void* next;       /* next sibling in its list */
  const void* parent;     /* enclosing node (module, typedef, struct, ...) */
  const void* children;   /* module: definitions; struct: members; union:
                             cases; enum: enumerators; bitmask: bit values;
                             member: declarators */
  const void* type_spec;  /* member, case, alias, sequence, forward: the type;
                             union: the discriminator type; struct: its base */
  const void* dims;       /* declarator: first array dimension (a literal) */
  const void* labels;     /* case: first label */
  const void* declarator; /* case: its declarator */
  enum rnr_idl_base base;
  enum rnr_idl_extensibility extensibility;
  uint32_t bound; /* string, sequence bound (0: none); literal value */
  uint32_t id;    /* declarator: member id */
  uint32_t value; /* enumerator value, bit position */
  uint16_t bit_bound;
  int64_t label;    /* case label value */
  const char* unit; /* member @unit, or null */
  unsigned nested : 1, autoid_hash : 1, key : 1, optional : 1, external : 1, must_understand : 1,
      is_default : 1;
  unsigned try_construct : 2; /* 1 discard, 2 use default, 3 trim */
};

/* Parses IDL text; the tree's first top-level node through `root`. Null
 * when the text does not parse (the library prints why on standard error).
 * Released with rnr_idl_free. */
void* rnr_idl_parse(const char* text, const void** root);
void rnr_idl_free(void* tree);

void rnr_idl_describe(const void* node, struct rnr_idl_node* out);

#ifdef __cplusplus
}
#endif

#endif
