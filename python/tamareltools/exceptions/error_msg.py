"""Message entries of the tool library: (code, message) pairs."""

ERROR_MSG_0019: tuple[str, str] = ("0019", "断言数据不是合法的JSON格式")
ERROR_MSG_0021: tuple[str, str] = ("0021", "未配置数据库连接，无法执行SQL断言")
