#include "types/idl_tree.h"

#include <string.h>

#include <idl/processor.h>

static enum rnr_idl_base base_of(const void* node) {
  switch (idl_type(node)) {
    case IDL_BOOL:
      return RNR_IDL_BOOL;
    case IDL_OCTET:
      return RNR_IDL_OCTET;
    case IDL_CHAR:
      return RNR_IDL_CHAR;
    case IDL_WCHAR:
      return RNR_IDL_WCHAR;
    case IDL_INT8:
      return RNR_IDL_INT8;
    case IDL_UINT8:
      return RNR_IDL_UINT8;
    case IDL_SHORT:
    case IDL_INT16:
      return RNR_IDL_INT16;
    case IDL_USHORT:
    case IDL_UINT16:
      return RNR_IDL_UINT16;
    case IDL_LONG:
    case IDL_INT32:
      return RNR_IDL_INT32;
    case IDL_ULONG:
    case IDL_UINT32:
      return RNR_IDL_UINT32;
    case IDL_LLONG:
    case IDL_INT64:
      return RNR_IDL_INT64;
    case IDL_ULLONG:
    case IDL_UINT64:
      return RNR_IDL_UINT64;
    case IDL_FLOAT:
      return RNR_IDL_FLOAT;
    case IDL_DOUBLE:
      return RNR_IDL_DOUBLE;
    case IDL_LDOUBLE:
      return RNR_IDL_LDOUBLE;
    default:
      return RNR_IDL_UNSUPPORTED;
  }
}

static enum rnr_idl_extensibility extensibility_of(idl_extensibility_t e) {
  return e == IDL_MUTABLE      ? RNR_IDL_MUTABLE
         : e == IDL_APPENDABLE ? RNR_IDL_APPENDABLE
                               : RNR_IDL_FINAL;
}

static unsigned try_construct_of(idl_try_construct_t t) {
  return t == IDL_USE_DEFAULT ? 2u : t == IDL_TRIM ? 3u : 1u;
}

void* rnr_idl_parse(const char* text, const void** root) {
  /* The text carries its extensibility annotations; warnings about what it
   * leaves to defaults are of no use to a reader. */
  static const idl_warning_t quiet[] = {IDL_WARN_GENERIC,
                                        IDL_WARN_IMPLICIT_EXTENSIBILITY,
                                        IDL_WARN_EXTRA_TOKEN_DIRECTIVE,
                                        IDL_WARN_UNKNOWN_ESCAPE_SEQ,
                                        IDL_WARN_INHERIT_APPENDABLE,
                                        IDL_WARN_ENUM_CONSECUTIVE,
                                        IDL_WARN_UNSUPPORTED_ANNOTATIONS};
  idl_pstate_t* pstate = NULL;
  *root = NULL;
  /* Case-sensitive names: IDL proper refuses an identifier that differs from
   * a keyword only in case (the struct String of ROS 2's std_msgs). */
  if (idl_create_pstate(IDL_FLAG_EXTENDED_DATA_TYPES | IDL_FLAG_ANONYMOUS_TYPES |
                            IDL_FLAG_ANNOTATIONS | IDL_FLAG_CASE_SENSITIVE,
                        NULL, &pstate) != IDL_RETCODE_OK) {
    return NULL;
  }
  pstate->config.default_extensibility = IDL_FINAL;
  pstate->config.disable_warnings = quiet;
  pstate->config.n_disable_warnings = sizeof quiet / sizeof quiet[0];
  if (idl_parse_string(pstate, text) != IDL_RETCODE_OK) {
    idl_delete_pstate(pstate);
    return NULL;
  }
  *root = pstate->root;
  return pstate;
}

void rnr_idl_free(void* tree) {
  if (tree != NULL) {
    idl_delete_pstate((idl_pstate_t*)tree);
  }
}

void rnr_idl_describe(const void* node, struct rnr_idl_node* out) {
  memset(out, 0, sizeof *out);
  if (node == NULL) {
    return;
  }
  const idl_mask_t mask = idl_mask(node);
  out->next = idl_next(node);
  out->parent = idl_parent(node);
  if (idl_is_module(node)) {
    const idl_module_t* m = node;
    out->kind = RNR_IDL_MODULE;
    out->name = idl_identifier(node);
    out->children = m->definitions;
  } else if (idl_is_struct(node)) {
    const idl_struct_t* s = node;
    out->kind = RNR_IDL_STRUCT;
    out->name = idl_identifier(node);
    out->children = s->members;
    out->type_spec = s->inherit_spec != NULL ? s->inherit_spec->base : NULL;
    out->extensibility = extensibility_of(s->extensibility.value);
    out->nested = s->nested.value;
    out->autoid_hash = s->autoid.value == IDL_HASH;
  } else if (idl_is_union(node)) {
    const idl_union_t* u = node;
    out->kind = RNR_IDL_UNION;
    out->name = idl_identifier(node);
    out->children = u->cases;
    out->type_spec = u->switch_type_spec->type_spec;
    out->key = u->switch_type_spec->key.value;
    out->extensibility = extensibility_of(u->extensibility.value);
    out->nested = u->nested.value;
    out->autoid_hash = u->autoid.value == IDL_HASH;
  } else if (idl_is_enum(node)) {
    const idl_enum_t* e = node;
    out->kind = RNR_IDL_ENUM;
    out->name = idl_identifier(node);
    out->children = e->enumerators;
    out->bit_bound = e->bit_bound.value;
    out->extensibility = extensibility_of(e->extensibility.value);
  } else if (idl_is_bitmask(node)) {
    const idl_bitmask_t* b = node;
    out->kind = RNR_IDL_BITMASK;
    out->name = idl_identifier(node);
    out->children = b->bit_values;
    out->bit_bound = b->bit_bound.value;
    out->extensibility = extensibility_of(b->extensibility.value);
  } else if (idl_is_declarator(node)) {
    const idl_declarator_t* d = node;
    out->kind = idl_is_alias(node) ? RNR_IDL_ALIAS : RNR_IDL_DECLARATOR;
    out->name = idl_identifier(node);
    out->dims = d->const_expr;
    out->id = d->id.value;
    if (out->kind == RNR_IDL_ALIAS) {
      out->type_spec = idl_type_spec(node);
    }
  } else if (idl_is_forward(node)) {
    out->kind = RNR_IDL_FORWARD;
    out->name = idl_identifier(node);
    out->type_spec = idl_type_spec(node);
  } else if (idl_is_member(node)) {
    const idl_member_t* m = node;
    out->kind = RNR_IDL_MEMBER;
    out->children = m->declarators;
    out->type_spec = m->type_spec;
    out->key = m->key.value;
    out->optional = m->optional.value;
    out->external = m->external.value;
    out->must_understand = m->must_understand.value;
    out->try_construct = try_construct_of(m->try_construct.value) & 3u;
    out->unit = m->unit.annotation != NULL ? m->unit.value : NULL;
  } else if (idl_is_case(node)) {
    const idl_case_t* c = node;
    out->kind = RNR_IDL_CASE;
    out->type_spec = c->type_spec;
    out->labels = c->labels;
    out->declarator = c->declarator;
    out->external = c->external.value;
    out->try_construct = try_construct_of(c->try_construct.value) & 3u;
  } else if (mask & IDL_CASE_LABEL) {
    out->kind = RNR_IDL_CASE_LABEL;
    out->is_default = (mask & IDL_DEFAULT_CASE_LABEL) == IDL_DEFAULT_CASE_LABEL;
    if (!out->is_default) {
      out->label = idl_case_label_intvalue(node);
    }
  } else if (idl_is_enumerator(node)) {
    out->kind = RNR_IDL_ENUMERATOR;
    out->name = idl_identifier(node);
    out->value = ((const idl_enumerator_t*)node)->value.value;
  } else if (idl_is_bit_value(node)) {
    out->kind = RNR_IDL_BIT_VALUE;
    out->name = idl_identifier(node);
    out->value = ((const idl_bit_value_t*)node)->position.value;
  } else if (idl_is_literal(node)) {
    out->kind = RNR_IDL_LITERAL;
    out->bound = ((const idl_literal_t*)node)->value.uint32;
  } else if (idl_is_sequence(node)) {
    out->kind = RNR_IDL_SEQUENCE;
    out->type_spec = idl_type_spec(node);
    out->bound = idl_bound(node);
  } else if ((mask & (IDL_STRING | IDL_WSTRING)) && !(mask & IDL_CONST)) {
    out->kind = (mask & IDL_STRING) ? RNR_IDL_STRING : RNR_IDL_WSTRING;
    out->bound = ((const idl_string_t*)node)->maximum;
  } else if (idl_is_base_type(node)) {
    out->kind = RNR_IDL_BASE;
    out->base = base_of(node);
  }
}
