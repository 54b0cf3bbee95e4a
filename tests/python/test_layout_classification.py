"""Section kind and role (_contains_token, _section_kind, _section_role)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import test_layout_reference as ref
from brenvale import plotspec

NO_HINTS = dict(stack_hint_sections=set(), heap_hint_sections=set())


def kind(name, region="RAM", stack=(), heap=()):
    return plotspec._section_kind(name, region, stack_hint_sections=set(stack), heap_hint_sections=set(heap))


class TestContainsToken:
    def test_plain_case_sensitive_substring(self):
        assert plotspec._contains_token(".text.main", [".text"]) is True
        assert plotspec._contains_token(".TEXT", [".text"]) is False
        assert plotspec._contains_token("abc", []) is False
        assert plotspec._contains_token("abc", ["x", "", "y"]) is True  # the empty token occurs everywhere
        assert plotspec._contains_token(value="heap", tokens=("heap",)) is True

    def test_stops_at_first_hit(self):
        # A later token that could not be tested is never looked at.
        assert plotspec._contains_token("stack", ["stack", 5]) is True
        with pytest.raises(TypeError):
            plotspec._contains_token("stack", [5, "stack"])

    def test_value_must_be_text(self):
        with pytest.raises(TypeError):
            plotspec._contains_token(None, ["a"])
        assert plotspec._contains_token(None, []) is False

    def test_argument_binding(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'tokens'"):
            plotspec._contains_token("a")
        with pytest.raises(TypeError, match="unexpected keyword argument 'token'"):
            plotspec._contains_token("a", token=[])


class TestSectionKind:
    def test_stack_and_heap_by_name(self):
        assert kind(".stack") == "stack"
        assert kind("CSTACK") == "stack"
        assert kind("user_stacks") == "stack"
        assert kind("HEAP") == "heap"
        assert kind("STACK_AND_HEAP") == "stack"  # stack is tested first

    def test_hints_are_exact_and_case_sensitive(self):
        assert kind(".data", stack=[".data"]) == "stack"
        assert kind(".data", heap=[".data"]) == "heap"
        assert kind("foo", stack=["Foo"]) == "section"
        assert kind("foo ", stack=["foo"]) == "section"
        # any iterable of names serves as a hint set
        assert plotspec._section_kind("x", "R", stack_hint_sections=["x"], heap_hint_sections=()) == "stack"
        assert plotspec._section_kind("x", "R", stack_hint_sections=iter(()), heap_hint_sections={"x": 1}) == "heap"

    def test_region_inherited_protected_and_reserved(self):
        assert kind(".data", "RESERVED_RAM") == "reserved"
        assert kind(".data", "PROTECTED_FLASH") == "protected"  # protected before reserved
        assert kind(".data", "SECURE_RAM") == "protected"
        assert kind(".text", "FLASH") == "section"
        assert kind(".reserved_area", "FLASH") == "reserved"
        # stack and heap come from the section name and hints only
        assert kind(".data", "STACK_RAM") == "section"
        assert kind(".data", "HEAP") == "section"

    def test_unicode_lowering(self):
        assert kind("STAC\u212a") == "stack"  # KELVIN SIGN lower-cases to "k"
        assert kind("\u0130STACK") == "stack"
        assert kind(".d\u0130ata", "R\u0130SERVED") == "section"

    def test_null_names_raise_attribute_error(self):
        with pytest.raises(AttributeError):
            plotspec._section_kind(None, "RAM", **NO_HINTS)
        with pytest.raises(AttributeError):
            plotspec._section_kind(".stack", None, **NO_HINTS)  # both names are lowered first
        with pytest.raises(AttributeError):
            plotspec._section_kind(5, "RAM", **NO_HINTS)

    def test_hint_sets_are_required_by_name(self):
        with pytest.raises(TypeError, match="missing 2 required keyword-only arguments"):
            plotspec._section_kind("a", "b")
        with pytest.raises(TypeError, match="takes 2 positional arguments but 4 were given"):
            plotspec._section_kind("a", "b", set(), set())
        with pytest.raises(TypeError, match="'heap_hint_sections'"):
            plotspec._section_kind("a", "b", stack_hint_sections=set())


class TestSectionRole:
    @pytest.mark.parametrize(
        "name, region, role",
        [
            (".text", "FLASH", "text"),
            (".ARM.exidx", "FLASH", None),
            (".bss.my_buffer", "RAM", "bss"),
            ("ER_ZI$$zi", "RAM", "bss"),
            ("er_zi$$ZI", "RAM", "bss"),
            ("COMMON", "RAM", "bss"),
            ("bss", "", "bss"),
            ("$$ro$$code", "", "text"),
            ("$$ro$$ro", "", "rodata"),
            (".rodata.str1.1", "", "rodata"),
            (".init_array", "", "rodata"),
            (".fini_array", "", "rodata"),
            (".initdata", "", "data"),
            (".vectors", "", "vectors"),
            ("isr_vector", "FLASH", "vectors"),
            ("  HEAP_MEM  ", "", "heap"),
            ("stack_mem", "", "stack"),
            (".data", "", "data"),
            (".noinit", "", "bss"),
            ("", "", None),
            ("", "STACK", "stack"),
            ("", "my_heap", "heap"),
            (None, None, None),
            (None, "CSTACK", "stack"),
            ("   ", "\u3000", None),  # both strip to empty
            ("foo", "STACK", "stack"),  # the region decides only after every name test failed
            (".text", "STACK", "text"),
        ],
    )
    def test_examples(self, name, region, role):
        assert plotspec._section_role(name, region) == role

    def test_region_name_defaults_to_empty(self):
        assert plotspec._section_role(".text") == "text"
        assert plotspec._section_role("x") is None
        assert plotspec._section_role(section_name="x", region_name="heap") == "heap"

    def test_false_values_read_as_empty_other_values_raise(self):
        assert plotspec._section_role(0, 0) is None
        with pytest.raises(AttributeError):
            plotspec._section_role(5, "")


TOKENS = sorted(
    set(ref._STACK_TOKENS + ref._HEAP_TOKENS + ref._RESERVED_TOKENS + ref._PROTECTED_TOKENS
        + ref._ROLE_VECTOR_TOKENS + ref._ROLE_BSS_TOKENS + ref._ROLE_DATA_TOKENS + ref._ROLE_RODATA_TOKENS
        + ref._ROLE_TEXT_TOKENS + ref._ROLE_STACK_TOKENS
        + ("cstack", "stack_mem", "heap_mem", "bss", "common"))
)
PIECES = st.one_of(
    st.sampled_from(TOKENS),
    st.sampled_from(TOKENS).map(str.upper),
    st.text(alphabet="aAsSkK.$_ \t\u0130\u0131\u212a\u017f\u00a0\u3000\U0001f600\ud800", max_size=4),
)
NAMES = st.lists(PIECES, max_size=4).map("".join)


@settings(max_examples=400, deadline=None)
@given(NAMES, NAMES, st.lists(NAMES, max_size=3), st.lists(NAMES, max_size=3))
def test_kind_and_role_agree_with_the_reference(name, region, stack, heap):
    got = plotspec._section_kind(name, region, stack_hint_sections=stack, heap_hint_sections=heap)
    assert got == ref.section_kind(name, region, stack_hint_sections=set(stack), heap_hint_sections=set(heap))
    assert plotspec._section_role(name, region) == ref.section_role(name, region)


@settings(max_examples=200, deadline=None)
@given(NAMES, st.lists(st.sampled_from(TOKENS + [""]), max_size=5))
def test_contains_token_agrees_with_the_reference(value, tokens):
    assert plotspec._contains_token(value, tokens) is ref.contains_token(value, tokens)


def test_module_constants():
    assert plotspec._STACK_TOKENS == ref._STACK_TOKENS
    assert plotspec._ROLE_STACK_TOKENS == ref._ROLE_STACK_TOKENS
    assert plotspec._ROLE_RODATA_TOKENS == ref._ROLE_RODATA_TOKENS
