"""Plain-Python models of the module's algorithms, written straight from their
descriptions; property tests compare the native functions with them."""

import re


def replace_str(self, data, m_0002, tamarel_tools_error):
    while self.is_extract(str(data)):
        match = re.search(r"\$\{\{([^{}]*)\}\}", str(data))
        if not match:
            break
        full_match = match.group(0)
        pieces = self.remove_parentheses(full_match).split("|")
        key, cache_name = (pieces[0], pieces[1]) if len(pieces) == 2 else (pieces[0], None)
        if self.is_extract(key):
            value = self.replace_str("${{" + str(key) + "}}", m_0002, tamarel_tools_error)
        elif self.identify_parentheses(key):
            value = self.regular(key)
        else:
            value = self.get_cache(key)
        if value is None:
            raise tamarel_tools_error(*tuple(m_0002), value=(key,))
        if cache_name:
            self.set_cache(cache_name, value)
        data = data.replace(full_match, str(value))
    return data.strip() if isinstance(data, str) else data
