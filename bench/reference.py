"""Plain-Python versions of the module's functions: the same algorithms, written as
the platform would write them, for the benchmarks to measure against."""

import re


def replace_str(self, data, m_0002, tamarel_tools_error):
    while self.is_extract(str(data)):
        innermost_match = re.search(r"\$\{\{([^{}]*)\}\}", str(data))
        if not innermost_match:
            break
        full_match = innermost_match.group(0)
        key_text = self.remove_parentheses(full_match)
        pieces = key_text.split("|")
        if len(pieces) == 2:
            key, cache_name = pieces
        else:
            key, cache_name = pieces[0], None
        if self.is_extract(key):
            value = self.replace_str(f"${{{{{key}}}}}", m_0002, tamarel_tools_error)
        elif self.identify_parentheses(key):
            value = self.regular(key)
        else:
            value = self.get_cache(key)
        if value is None:
            raise tamarel_tools_error(*m_0002, value=(key,))
        if cache_name:
            self.set_cache(cache_name, value)
        data = data.replace(full_match, str(value))
    if isinstance(data, str):
        return data.strip()
    return data


def v(v, s=None):
    if v == v:
        if s:
            print("测试通过")
        return None
    raise Exception("")
